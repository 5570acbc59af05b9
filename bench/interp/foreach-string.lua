s = string.rep("abcd", 250)
n = 0
for _ = 1, 5000 do
  for i = 1, #s do
    if string.byte(s, i) == 98 then n = n + 1 end
  end
end
print(n)
