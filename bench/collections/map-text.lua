local n = 1000000
local m = {}
for i = 1, n do m[tostring(i)] = i end
local s = 0
for i = 1, n do s = s + m[tostring(i)] end
print(s)
