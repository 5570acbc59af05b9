# The 10^5 operand pairs of mod.py alone (to subtract): the same linear congruential sequence as
# pairs.kiv, half integers and half floats.
seed = 12345


def next_int():
    global seed
    seed = seed * 48271 % 2147483647
    return seed


pairs = []
for i in range(50000):
    a = next_int() - 1073741823
    pairs.append((a, next_int() % 999 + 1))
    a = (next_int() - 1073741823) / 1000.0
    pairs.append((a, (next_int() % 99999 + 1) / 100.0))
if __name__ == "__main__":
    print(len(pairs) * 2)
