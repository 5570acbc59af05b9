b = []
for i in range(1, 1001):
    b.append(i)
for _ in range(5000):
    t = 0
    for x in b:
        t = t + x
print(t)
