n = 0
for i in range(1, 10000001):
    n = i - n
print(n)
