n = 0
for i = 1, 10000000 do n = i - n end
print(n)
