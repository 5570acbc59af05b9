#!/usr/bin/env python3
"""Random parse rules checked against two oracles.

Rules of the regular subset (literals, charsets, skip, sequences, alternatives, any, some, opt,
integer ranges, to, thru, end, none, not, ahead) are drawn at random together with inputs. Each
case is decided by:

  * a model of the engine's semantics written here (ordered choice, greedy repetitions that never
    give back, a round that matches without moving ends a repetition, to/thru trying every position
    up to the tail), for every case;
  * Python's `re` with atomic groups and possessive quantifiers, which give exactly those semantics
    as long as no repetition is applied to a rule that can match the empty text (there the two
    count rounds differently), so such cases are decided by the model alone.

The model and `re` must agree with each other (a check of the model), and kiv must agree with them.
Each case runs on text input (with and without /case; charsets always compare exactly), on the
same text as binary!, and on a block of words (literals become lit-words, a charset a choice of
lit-words).

  parse_model.py --emit FILE [--count N] [--seed S]    writes a .kiv test script
  parse_model.py --run KIV [--count N] [--seed S]      runs N cases through the kiv executable
"""
import argparse
import os
import random
import re
import subprocess
import sys
import tempfile

ALPHABET = "abAB"
# Every non-empty subset of the alphabet is a charset word: cs1 .. cs15 by bit mask.
CHARSETS = {m: "".join(c for i, c in enumerate(ALPHABET) if m >> i & 1) for m in range(1, 16)}


# ---- rules ---------------------------------------------------------------------------------------
# A rule is a tuple: ("lit", text) ("cs", mask) ("skip",) ("seq", [rules]) ("alt", [rules])
# ("rep", lo, hi, rule, keyword) with hi None for no bound, ("to", rule) ("thru", rule) ("end",)
# ("none",) ("not", rule) ("ahead", rule).

def gen_rule(rng, depth):
    leaf = depth <= 0 or rng.random() < 0.35
    if leaf:
        r = rng.random()
        if r < 0.45:
            return ("lit", "".join(rng.choice(ALPHABET) for _ in range(rng.choice([1, 1, 1, 2, 3]))))
        if r < 0.75:
            return ("cs", rng.randrange(1, 16))
        if r < 0.9:
            return ("skip",)
        if r < 0.96:
            return ("end",)
        return ("none",)
    r = rng.random()
    sub = lambda: gen_rule(rng, depth - 1)
    if r < 0.25:
        return ("seq", [sub() for _ in range(rng.randint(2, 4))])
    if r < 0.45:
        return ("alt", [sub() for _ in range(rng.randint(2, 3))])
    if r < 0.7:
        kind = rng.choice(["any", "some", "opt", "range", "range", "count"])
        if kind == "any":
            return ("rep", 0, None, sub(), "any")
        if kind == "some":
            return ("rep", 1, None, sub(), "some")
        if kind == "opt":
            return ("rep", 0, 1, sub(), "opt")
        if kind == "count":
            n = rng.randint(0, 3)
            return ("rep", n, n, sub(), "count")
        lo = rng.randint(0, 2)
        return ("rep", lo, lo + rng.randint(0, 2), sub(), "range")
    if r < 0.85:
        return (rng.choice(["to", "thru"]), sub())
    return (rng.choice(["not", "ahead"]), sub())


def nullable(rule):
    k = rule[0]
    if k in ("lit",):
        return len(rule[1]) == 0
    if k in ("cs", "skip"):
        return False
    if k in ("end", "none", "not", "ahead", "to"):
        return True
    if k == "seq":
        return all(nullable(r) for r in rule[1])
    if k == "alt":
        return any(nullable(r) for r in rule[1])
    if k == "rep":
        return rule[1] == 0 or nullable(rule[3])
    if k == "thru":
        return nullable(rule[1])
    raise ValueError(k)


def regex_safe(rule):
    """Whether `re` decides the rule like the engine: no repetition over a nullable rule."""
    k = rule[0]
    if k == "rep":
        return not nullable(rule[3]) and regex_safe(rule[3])
    if k in ("seq", "alt"):
        return all(regex_safe(r) for r in rule[1])
    if k in ("to", "thru", "not", "ahead"):
        return regex_safe(rule[1])
    return True


# ---- the model ------------------------------------------------------------------------------------

def model(rule, s, i, case, fold_sets):
    """The end of the match of `rule` at index i of the sequence s, or None."""
    k = rule[0]
    n = len(s)
    eq = (lambda a, b: a == b) if case else (lambda a, b: a.lower() == b.lower())
    if k == "lit":
        t = rule[1]
        if i + len(t) > n:
            return None
        return i + len(t) if all(eq(s[i + j], t[j]) for j in range(len(t))) else None
    if k == "cs":
        members = CHARSETS[rule[1]]
        if i >= n:
            return None
        if fold_sets and not case:
            return i + 1 if any(eq(s[i], c) for c in members) else None
        return i + 1 if s[i] in members else None
    if k == "skip":
        return i + 1 if i < n else None
    if k == "end":
        return i if i >= n else None
    if k == "none":
        return i
    if k == "seq":
        for r in rule[1]:
            i = model(r, s, i, case, fold_sets)
            if i is None:
                return None
        return i
    if k == "alt":
        for r in rule[1]:
            e = model(r, s, i, case, fold_sets)
            if e is not None:
                return e
        return None
    if k == "rep":
        lo, hi, sub = rule[1], rule[2], rule[3]
        count, pos = 0, i
        if hi == 0:
            return i
        while hi is None or count < hi:
            e = model(sub, s, pos, case, fold_sets)
            if e is None:
                break
            count += 1
            if e == pos:
                break
            pos = e
        return pos if count >= lo else None
    if k in ("to", "thru"):
        for p in range(i, n + 1):
            e = model(rule[1], s, p, case, fold_sets)
            if e is not None:
                return p if k == "to" else e
        return None
    if k == "not":
        return i if model(rule[1], s, i, case, fold_sets) is None else None
    if k == "ahead":
        return i if model(rule[1], s, i, case, fold_sets) is not None else None
    raise ValueError(k)


# ---- regular expressions ----------------------------------------------------------------------------

def regex(rule):
    k = rule[0]
    if k == "lit":
        return re.escape(rule[1])
    if k == "cs":
        return "(?-i:[" + CHARSETS[rule[1]] + "])"
    if k == "skip":
        return r"[\s\S]"
    if k == "end":
        return r"\Z"
    if k == "none":
        return ""
    if k == "seq":
        return "(?:" + "".join(regex(r) for r in rule[1]) + ")"
    if k == "alt":
        return "(?>" + "|".join(regex(r) for r in rule[1]) + ")"
    if k == "rep":
        lo, hi, sub = rule[1], rule[2], regex(rule[3])
        q = "{%d,}" % lo if hi is None else "{%d,%d}" % (lo, hi)
        return "(?:" + sub + ")" + q + "+"
    if k == "to":
        x = regex(rule[1])
        return r"(?:(?!" + x + r")[\s\S])*+(?=" + x + ")"
    if k == "thru":
        x = regex(rule[1])
        return r"(?:(?!" + x + r")[\s\S])*+(?>" + x + ")"
    if k == "not":
        return "(?!" + regex(rule[1]) + ")"
    if k == "ahead":
        return "(?=" + regex(rule[1]) + ")"
    raise ValueError(k)


# ---- kiv text -----------------------------------------------------------------------------------------

def kiv_rule(rule, blocks):
    """The rule as one parse rule (a sequence becomes a block). `blocks`: block input."""
    k = rule[0]
    if k == "lit":
        if blocks:
            return "[" + " ".join("'" + c for c in rule[1]) + "]" if len(rule[1]) > 1 else "'" + rule[1]
        return '"' + rule[1] + '"'
    if k == "cs":
        if blocks:
            return "[" + " | ".join("'" + c for c in CHARSETS[rule[1]]) + "]"
        return "cs%d" % rule[1]
    if k in ("skip", "end", "none"):
        return k
    if k == "seq":
        return "[" + " ".join(kiv_rule(r, blocks) for r in rule[1]) + "]"
    if k == "alt":
        return "[" + " | ".join(kiv_rule(r, blocks) for r in rule[1]) + "]"
    if k == "rep":
        lo, hi, sub, kw = rule[1], rule[2], kiv_rule(rule[3], blocks), rule[4]
        if sub[0].isdigit():  # a count after a count would read as a range
            sub = "[" + sub + "]"
        if kw in ("any", "some", "opt"):
            return kw + " " + sub
        if kw == "count":
            return "%d %s" % (lo, sub)
        return "%d %d %s" % (lo, hi, sub)
    if k in ("to", "thru", "not", "ahead"):
        return k + " " + kiv_rule(rule[1], blocks)
    raise ValueError(k)


def kiv_input(text, form):
    if form == "text":
        return '"' + text + '"'
    if form == "binary":
        return "#{" + text.encode().hex().upper() + "}"
    return "[" + " ".join(text) + "]"


def make_cases(count, seed):
    rng = random.Random(seed)
    cases = []
    checked_by_re = 0
    while len(cases) < count:
        rule = ("seq", [gen_rule(rng, rng.randint(1, 4)) for _ in range(rng.randint(1, 3))])
        for _ in range(3):
            size = rng.randint(0, 8) if rng.random() < 0.85 else rng.randint(9, 24)
            text = "".join(rng.choice(ALPHABET) for _ in range(size))
            for case in (True, False):
                expected = model(rule, text, 0, case, False) == len(text)
                if regex_safe(rule):
                    flags = 0 if case else re.IGNORECASE
                    by_re = re.fullmatch(regex(rule), text, flags) is not None
                    if by_re != expected:
                        raise SystemExit("model and re disagree: %r on %r (case %s)" % (rule, text, case))
                    checked_by_re += 1
                form = rng.choice(["text", "text", "binary"])
                cases.append((form, text, rule, case, expected))
                # Words compare without case unless /case, and a charset becomes a choice of
                # lit-words, which then folds too.
                block_expected = model(rule, list(text), 0, case, True) == len(text)
                cases.append(("block", text, rule, case, block_expected))
    return cases[:count], checked_by_re


def script(cases, title):
    lines = ['Kiv [Title: "%s"]' % title, "", "do %../../kiv-lib/assert.kiv", ""]
    lines.append("; Charsets over the alphabet %s, named by bit mask." % ALPHABET)
    for m, members in CHARSETS.items():
        lines.append('cs%d: make bitset! "%s"' % (m, members))
    lines.append("")
    lines.append("; input, rules, /case, expected")
    lines.append("cases: [")
    for form, text, rule, case, expected in cases:
        lines.append("    %s %s %s %s" % (kiv_input(text, form), kiv_rule(rule, form == "block"),
                                          "true" if case else "false", "true" if expected else "false"))
    lines.append("]")
    lines.append("""
foreach [input rules case? expected] cases [
    code: either case? = 'true [[parse/case (input) (rules)]] [[parse (input) (rules)]]
    assert-equal compose/only code expected = 'true
]

assert-done "%s"
""" % title)
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--emit", metavar="FILE")
    ap.add_argument("--run", metavar="KIV")
    ap.add_argument("--count", type=int, default=600)
    ap.add_argument("--seed", type=int, default=20260)
    args = ap.parse_args()
    cases, by_re = make_cases(args.count, args.seed)
    if args.emit:
        with open(args.emit, "w") as f:
            f.write(script(cases, "parse against a model of its semantics and re"))
        print("%d cases written (%d also decided by re)" % (len(cases), by_re))
    if args.run:
        # Beside the language tests, so that the script finds the assertions where they do.
        here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kiv", "natives")
        os.makedirs(here, exist_ok=True)
        with tempfile.NamedTemporaryFile("w", suffix=".kiv", dir=here, delete=True) as f:
            f.write(script(cases, "parse model run"))
            f.flush()
            r = subprocess.run([args.run, f.name], capture_output=True, text=True)
        out = r.stdout.splitlines()
        failures = [i for i, l in enumerate(out) if l.startswith("FAIL")]
        for i in failures[:10]:
            print("\n".join(out[i:i + 4]))
        print(r.stdout.splitlines()[-1] if r.stdout else r.stderr[-2000:])
        print("%d cases, %d also decided by re, %d failures, exit %d" % (len(cases), by_re, len(failures),
                                                                       r.returncode))
        sys.exit(1 if failures or r.returncode else 0)


if __name__ == "__main__":
    main()
