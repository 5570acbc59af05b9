k = 0
for i in range(1, 2000001):
    m = i & 3
    if m == 0:
        k = k + 1
    elif m == 1:
        k = k + 2
    elif m == 2:
        k = k - 1
    else:
        k = k
print(k)
