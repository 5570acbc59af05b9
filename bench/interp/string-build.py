parts = []
for _ in range(1000000):
    parts.append("a")
    parts.append("bc")
s = "".join(parts)
print(len(s))
