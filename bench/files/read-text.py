import os
with open(os.environ["BENCH_IN"], encoding="utf-8") as f:
    text = f.read()
