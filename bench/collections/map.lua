local n = 1000000
local m = {}
for i = 1, n do m[i] = i end
local s = 0
for i = 1, n do s = s + m[i] end
print(s)
