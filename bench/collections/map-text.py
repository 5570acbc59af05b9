n = 1000000
m = {}
for i in range(1, n + 1):
    m[str(i)] = i
s = 0
for i in range(1, n + 1):
    s += m[str(i)]
print(s)
