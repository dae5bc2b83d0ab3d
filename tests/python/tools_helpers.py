"""Random trees for the veltrane_tools tests: plain Newick with any shape, and trees written as
other tools write Newick beside the plain text that clean_newick should make of them."""

import random

# Leaf names as users have them: blanks and quotes included.
NAMES = ["t1", "t2", "Homo sapiens", "O'Brien", "cell 7b", "x-9", "p.q", "_a", "Z"]
SUPPORTS = ["95", "0.87", "1e-3", "95.3/100", "-2"]
COMMENTS = ["[&R]", "[&&NHX:S=human:E=1.1]", "[note [nested] ok]", "[]"]
MODES = (True, False, "names")


def random_newick(rnd: random.Random, leaves: list[str | None], keep_order: bool = False) -> str:
    # Joins runs of 1 to 4 neighbours until one node is left, so multifurcations and unary
    # nodes occur; None is an unlabelled leaf. Some internal nodes get a label, which may be a
    # taxon's: it plays no part. The leaves keep their order, shuffled first unless asked.
    items = [leaf or "" for leaf in leaves]
    if not keep_order:
        rnd.shuffle(items)
    while len(items) > 1 or rnd.random() < 0.1:
        run = min(len(items), rnd.randint(1, 4))
        at = rnd.randrange(len(items) - run + 1)
        label = rnd.choice(["", "", "X", "t1"]) if rnd.random() < 0.3 else ""
        items[at : at + run] = ["(" + ",".join(items[at : at + run]) + ")" + label]
    return items[0] + ";"


def _blank(rnd: random.Random) -> str:
    return rnd.choice(["", "", " ", "\n  ", "\t", "\u3000"])


def _comment(rnd: random.Random) -> str:
    return rnd.choice(COMMENTS) if rnd.random() < 0.2 else ""


def random_dialect_tree(rnd: random.Random, n_leaves: int) -> tuple[str, dict[object, str]]:
    # (text as other tools write it, {mode: text clean_newick should give for that mode}).
    pool: list[tuple[str, dict[object, str]]] = []
    extra = [f"c{k}" for k in range(max(0, n_leaves - len(NAMES)))]
    for name in rnd.sample(NAMES, min(n_leaves, len(NAMES))) + extra:
        length = f":{rnd.randint(0, 9)}.5" if rnd.random() < 0.5 else ""
        quote = "'" in name or " " in name or rnd.random() < 0.3
        written = "'" + name.replace("'", "''") + "'" if quote else name
        dirty = written + _comment(rnd) + _blank(rnd) + length
        pool.append((dirty, {m: name.replace(" ", "_") + length for m in MODES}))
    while len(pool) > 1:
        count = min(len(pool), rnd.randint(2, 3))
        kids = [pool.pop(rnd.randrange(len(pool))) for _ in range(count)]
        kind = rnd.choice(["none", "name", "support"])
        label = {"none": "", "name": f"n{rnd.randint(0, 99)}", "support": rnd.choice(SUPPORTS)}
        length = f":{rnd.randint(0, 9)}" if rnd.random() < 0.5 else ""
        after = length.replace(":", ": ") + _comment(rnd) if length else ""
        dirty = "(" + _blank(rnd) + ("," + _blank(rnd)).join(d for d, _ in kids) + ")"
        dirty += _comment(rnd) + label[kind] + _blank(rnd) + after
        kept = {True: True, False: False, "names": kind == "name"}
        pool.append((dirty, {
            m: "(" + ",".join(c[m] for _, c in kids) + ")" + label[kind] * kept[m] + length
            for m in MODES
        }))
    dirty, clean = pool[0]
    dirty = ("[&R] " if rnd.random() < 0.5 else "") + dirty + (";\n" if rnd.random() < 0.8 else "")
    return dirty, {m: c + ";" for m, c in clean.items()}
