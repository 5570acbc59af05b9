b = {}
for i = 1, 1000 do b[#b + 1] = i end
for _ = 1, 5000 do
  t = 0
  for _, x in ipairs(b) do t = t + x end
end
print(t)
