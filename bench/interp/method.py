class Counter:
    def __init__(self):
        self.n = 0

    def bump(self, k):
        self.n = self.n + k


counter = Counter()
for _ in range(3000000):
    counter.bump(1)
print(counter.n)
