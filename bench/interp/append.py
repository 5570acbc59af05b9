b = []
for i in range(1, 3000001):
    b.append(i)
print(len(b))
