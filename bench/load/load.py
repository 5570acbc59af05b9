import ast, os
with open(os.environ["BENCH_PY"], encoding="utf-8") as f:
    data = ast.literal_eval(f.read())
