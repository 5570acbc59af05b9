m = 0
step = 1
for _ in range(1000000):
    m = m + step
print(m)
