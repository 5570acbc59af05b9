k = 0
for i in range(1, 2000001):
    j = i & 255
    if j < 64:
        k = k + 1
    elif j < 128:
        k = k + 2
    elif j < 192:
        k = k - 1
    else:
        k = k - 2
print(k)
