from array import array
n = 10000000
v = array('i', bytes(4 * n))
for _ in range(10):
    for i in range(n):
        v[i] = (v[i] + 3) * 2
print(v[0])
