k = 0
for i = 1, 2000000 do
  local m = i & 3
  if m == 0 then k = k + 1
  elseif m == 1 then k = k + 2
  elseif m == 2 then k = k - 1
  else k = k end
end
print(k)
