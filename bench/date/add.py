# 10^6 date additions and differences, as add.kiv does them.
import datetime

start = datetime.date(2000, 1, 1)
one = datetime.timedelta(days=1)
d = start
n = 0
for _ in range(1000000):
    d = d + one
    n = d - start
print(d, n.days)
