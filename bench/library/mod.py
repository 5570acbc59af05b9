from pairs import pairs

total = 0
for a, b in pairs:
    total += a % b + a % abs(-b)
print(total)
