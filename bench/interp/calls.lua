local function f(a, b, twice)
  if twice then return a + b + b else return a + b end
end
n = 0
for _ = 1, 2000000 do
  n = f(n, 1)
  n = f(n, -1, true)
end
print(n)
