"""Random inputs for the oracle comparisons: Newick trees, and character data that may not fit."""

import random

import oracles


def random_newick(rnd: random.Random, leaves: list, arities=(2, 3), inner=(), p_inner=0.0) -> str:
    # A tree whose leaves, in this order, carry the given labels (None: unlabelled); a node has
    # a number of children drawn from arities (1: unary, also above the root) and, with
    # probability p_inner, a label drawn from inner.
    pool = ["" if x is None else x for x in leaves]
    while len(pool) > 1 or (1 in arities and rnd.random() < 0.2):
        k = min(len(pool), rnd.choice(arities))
        i = rnd.randrange(len(pool) - k + 1)
        label = rnd.choice(inner) if inner and rnd.random() < p_inner else ""
        pool[i : i + k] = ["(" + ",".join(pool[i : i + k]) + ")" + label]
    return pool[0] + ";"


def shuffled(text: str, rnd: random.Random) -> str:
    # The same tree, labels included, with the children of every node in a random order.
    tree = oracles.parse_newick(text)

    def show(v: int) -> str:
        kids = rnd.sample([show(c) for c in tree.children[v]], len(tree.children[v]))
        return ("(" + ",".join(kids) + ")" if kids else "") + (tree.label[v] or "")

    return show(0) + ";"


def binary_newick(labels: list, rnd: random.Random, inner: str = "") -> str:
    # A random binary tree over the labels, kept in order; internal nodes named inner0, ...
    pool = list(labels)
    for k in range(len(pool) - 1):
        i = rnd.randrange(len(pool) - 1)
        pool[i : i + 2] = [f"({pool[i]},{pool[i + 1]})" + (f"{inner}{k}" if inner else "")]
    return pool[0] + ";"


def caterpillar(n: int, prefix: str = "t", inner: str = "") -> str:
    # ((p0,p1),p2)...: the deepest nesting n leaves allow.
    tail = "".join(f",{prefix}{i})" + (f"{inner}{i}" if inner else "") for i in range(1, n))
    return "(" * (n - 1) + f"{prefix}0" + tail + ";"


def character_case(rnd: random.Random) -> tuple:
    # (tree, matrix, internal states or None, state codes): nodes of one to four children,
    # repeated, colliding and missing names, and rows that need not fit the tree.
    n = rnd.randint(1, 8)
    names = [f"L{rnd.randrange(n) if rnd.random() < 0.1 else i}" for i in range(n)]
    inner = ["N0", "N1", "N2", "N3"] * 2 + names
    text = random_newick(rnd, [None if rnd.random() < 0.15 else x for x in names],
                         (1, 2, 2, 2, 2, 3, 4), inner, 0.7)
    width, values = rnd.randint(0, 4), [-1, 0, 1, 2, 3]
    lengths = [width if rnd.random() < 0.8 else max(0, width + rnd.choice([-1, 1]))
               for _ in range(max(0, n + rnd.randint(-2, 1)))]
    matrix = [rnd.choices(values, k=k) for k in lengths]
    keys = rnd.sample(sorted(set(inner)), rnd.randint(0, len(set(inner))))
    states = {k: rnd.choices(values, k=rnd.randint(0, width + 1)) for k in keys}
    codes = dict(zip(["missing_state", "unedited_state"], rnd.choice([(-1, 0), (-1, 0), (2, 1)])))
    return text, matrix, states if rnd.random() < 0.4 else None, codes
