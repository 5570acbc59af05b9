class P:
    def __init__(self):
        self.x = 0
        self.y = 2


p = P()
b = [1, 2, 3]
for _ in range(2000000):
    p.x = p.x + p.y - b[1]
    b[0] = b[2]
print(p.x)
