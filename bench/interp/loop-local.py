# The same loop with n a local of a function (CPython's fastest form of it).
def main():
    n = 0
    for _ in range(10000000):
        n = n + 1
    print(n)


main()
