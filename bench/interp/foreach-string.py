s = "abcd" * 250
n = 0
for _ in range(5000):
    for c in s:
        if c == "b":
            n = n + 1
print(n)
