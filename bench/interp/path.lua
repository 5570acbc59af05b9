p = {x = 0, y = 2}
b = {1, 2, 3}
for _ = 1, 2000000 do
  p.x = p.x + p.y - b[2]
  b[1] = b[3]
end
print(p.x)
