b = []
for i in range(1, 1001):
    b.append(i)
for _ in range(2000):
    t = 0
    i = 0
    while i < len(b):
        t = t + b[i]
        i = i + 1
print(t)
