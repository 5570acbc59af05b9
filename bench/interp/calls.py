def f(a, b, twice=False):
    return a + b + b if twice else a + b
n = 0
for _ in range(2000000):
    n = f(n, 1)
    n = f(n, -1, twice=True)
print(n)
