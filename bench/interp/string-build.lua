local parts = {}
for _ = 1, 1000000 do
  parts[#parts + 1] = "a"
  parts[#parts + 1] = "bc"
end
s = table.concat(parts)
print(#s)
