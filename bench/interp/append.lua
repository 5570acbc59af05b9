b = {}
for i = 1, 3000000 do b[#b + 1] = i end
print(#b)
