import os
with open(os.environ["BENCH_IN"], encoding="utf-8") as f:
    text = f.read()
with open(os.environ["BENCH_OUT"], "w", encoding="utf-8") as f:
    f.write(text)
