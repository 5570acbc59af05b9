k = 0
for i = 1, 2000000 do
  j = i & 255
  if j < 64 then k = k + 1
  elseif j < 128 then k = k + 2
  elseif j < 192 then k = k - 1
  else k = k - 2 end
end
print(k)
