"""Random trees for the veltrane_tools tests, written both as other tools write Newick and as the
plain text that clean_newick should make of it."""

from __future__ import annotations

import random

# Leaf names as users have them: blanks and quotes included.
NAMES = ["t1", "t2", "Homo sapiens", "O'Brien", "cell 7b", "x-9", "p.q", "_a", "Z"]
SUPPORTS = ["95", "0.87", "1e-3", "95.3/100", "-2"]
COMMENTS = ["[&R]", "[&&NHX:S=human:E=1.1]", "[note [nested] ok]", "[]"]
MODES = (True, False, "names")


def _blank(rnd: random.Random) -> str:
    return rnd.choice(["", "", " ", "\n  ", "\t", "\u3000"])


def _comment(rnd: random.Random) -> str:
    return rnd.choice(COMMENTS) if rnd.random() < 0.2 else ""


def _quoted(name: str, rnd: random.Random) -> str:
    if "'" in name or " " in name or rnd.random() < 0.3:
        return "'" + name.replace("'", "''") + "'"
    return name


def random_dialect_tree(rnd: random.Random, n_leaves: int) -> tuple[str, dict[object, str]]:
    """(text as other tools write it, {mode: text clean_newick should give for that mode})."""
    pool: list[tuple[str, dict[object, str]]] = []
    for name in rnd.sample(NAMES, min(n_leaves, len(NAMES))) + [
        f"c{k}" for k in range(max(0, n_leaves - len(NAMES)))
    ]:
        length = f":{rnd.randint(0, 9)}.5" if rnd.random() < 0.5 else ""
        dirty = _quoted(name, rnd) + _comment(rnd) + _blank(rnd) + length
        clean = name.replace(" ", "_") + length
        pool.append((dirty, {m: clean for m in MODES}))
    while len(pool) > 1:
        k = min(len(pool), rnd.randint(2, 3))
        kids = [pool.pop(rnd.randrange(len(pool))) for _ in range(k)]
        kind = rnd.choice(["none", "name", "support"])
        label = {"none": "", "name": f"n{rnd.randint(0, 99)}", "support": rnd.choice(SUPPORTS)}[
            kind
        ]
        length = f":{rnd.randint(0, 9)}" if rnd.random() < 0.5 else ""
        sep = "," + _blank(rnd)
        dirty = (
            "(" + _blank(rnd) + sep.join(d for d, _ in kids) + ")" + _comment(rnd) + label
            + _blank(rnd) + (length.replace(":", ": ") + _comment(rnd) if length else "")
        )
        clean = {
            m: "(" + ",".join(c[m] for _, c in kids) + ")"
            + (label if m is True or (m == "names" and kind == "name") else "") + length
            for m in MODES
        }
        pool.append((dirty, clean))
    dirty, clean = pool[0]
    prefix = "[&R] " if rnd.random() < 0.5 else ""
    end = ";\n" if rnd.random() < 0.8 else ""
    return prefix + dirty + end, {m: c + ";" for m, c in clean.items()}


def random_leaf_order(rnd: random.Random, labels: list[str]) -> str:
    """A random binary tree over the labels, in a random leaf order (plain Newick)."""
    pool = list(labels)
    rnd.shuffle(pool)
    while len(pool) > 1:
        a = pool.pop(rnd.randrange(len(pool)))
        b = pool.pop(rnd.randrange(len(pool)))
        pool.insert(rnd.randrange(len(pool) + 1), f"({a},{b})")
    return pool[0] + ";"
