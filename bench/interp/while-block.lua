b = {}
for i = 1, 1000 do b[#b + 1] = i end
for _ = 1, 2000 do
  t = 0
  i = 1
  while i <= #b do
    t = t + b[i]
    i = i + 1
  end
end
print(t)
