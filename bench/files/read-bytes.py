import os
with open(os.environ["BENCH_IN"], "rb") as f:
    data = f.read()
