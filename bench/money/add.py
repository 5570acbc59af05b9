from decimal import Decimal

m = Decimal("0")
step = Decimal("0.01")
for _ in range(1000000):
    m = m + step
print(m)
