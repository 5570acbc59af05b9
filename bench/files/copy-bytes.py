import os
with open(os.environ["BENCH_IN"], "rb") as f:
    data = f.read()
with open(os.environ["BENCH_OUT"], "wb") as f:
    f.write(data)
