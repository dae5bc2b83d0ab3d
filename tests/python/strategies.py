"""Hypothesis strategies: random labelled rooted trees printed as Newick."""

from __future__ import annotations

import random

from hypothesis import strategies as st

from oracles import Tree, to_newick


def random_tree(rnd: random.Random, labels: list[str], max_arity: int = 4) -> Tree:
    """A random tree whose leaves carry the given labels, internal nodes of arity 2..max_arity."""
    tree = Tree()
    pool = []
    for lab in labels:
        v = tree.add()
        tree.label[v] = lab
        pool.append(v)
    while len(pool) > 1:
        k = min(len(pool), rnd.randint(2, max_arity))
        picked = [pool.pop(rnd.randrange(len(pool))) for _ in range(k)]
        v = tree.add()
        for c in picked:
            tree.children[v].append(c)
            tree.parent[c] = v
        pool.append(v)
    return renumber(tree, pool[0])


def renumber(tree: Tree, root: int) -> Tree:
    """Copies the tree so that ids follow a pre-order walk from root, as the reader numbers them."""
    out = Tree()
    stack = [(root, None)]
    while stack:
        v, parent = stack.pop()
        w = out.add()
        out.label[w] = tree.label[v]
        if parent is not None:
            out.parent[w] = parent
            out.children[parent].append(w)
        for c in reversed(tree.children[v]):
            stack.append((c, w))
    return out


def shuffled(tree: Tree, rnd: random.Random) -> Tree:
    """The same tree with the children of every node in a random order."""
    copy = Tree(list(tree.parent), [list(c) for c in tree.children], list(tree.label))
    for kids in copy.children:
        rnd.shuffle(kids)
    return renumber(copy, 0)


label_sets = st.lists(
    st.sampled_from([f"t{i}" for i in range(12)]), min_size=1, max_size=10, unique=True
)


@st.composite
def newick_trees(draw, labels=label_sets, max_arity: int = 4) -> Tree:
    """A random tree over a drawn label set (as a Tree; print it with to_newick)."""
    chosen = draw(labels)
    seed = draw(st.integers(0, 2**32 - 1))
    return random_tree(random.Random(seed), chosen, max_arity)


def decorated(tree: Tree, rnd: random.Random, names: list[str]) -> Tree:
    """The same tree with unary nodes on some edges (and above the root) and labels, drawn from
    names, on some internal nodes."""
    out = Tree(list(tree.parent), [list(c) for c in tree.children], list(tree.label))
    for v in range(len(tree.parent)):
        p = out.parent[v]
        if p is not None and rnd.random() < 0.2:
            u = out.add()
            out.children[p][out.children[p].index(v)] = u
            out.children[u] = [v]
            out.parent[u], out.parent[v] = p, u
    root = 0
    if rnd.random() < 0.2:
        root = out.add()
        out.children[root] = [0]
        out.parent[0] = root
    for v in range(len(out.parent)):
        if out.children[v] and rnd.random() < 0.3:
            out.label[v] = rnd.choice(names)
    return renumber(out, root)


@st.composite
def decorated_trees(draw, pool: int = 30) -> Tree:
    """Random trees over up to pool labels with unary nodes and internal labels, some of which
    are leaf labels of this or the other tree and some of which label internal nodes only."""
    names = [f"t{i}" for i in range(pool)]
    labels = draw(st.lists(st.sampled_from(names), min_size=1, max_size=pool, unique=True))
    seed = draw(st.integers(0, 2**32 - 1))
    rnd = random.Random(seed)
    return decorated(random_tree(rnd, labels), rnd, names + ["X", "Y"])


def random_character_case(rnd: random.Random) -> dict:
    """A small tree with nodes of one to four children, names that repeat and collide, some
    unnamed nodes, and a matrix whose row count and row lengths need not fit the tree."""
    n_leaves = rnd.randint(1, 8)
    tree = Tree()
    pool = []
    for i in range(n_leaves):
        v = tree.add()
        r = rnd.random()
        tree.label[v] = None if r < 0.15 else f"L{rnd.randrange(n_leaves) if r < 0.25 else i}"
        pool.append(v)
    while len(pool) > 1 or rnd.random() < 0.1:
        k = min(len(pool), rnd.choice([1, 2, 2, 2, 2, 3, 4]))
        picked = [pool.pop(rnd.randrange(len(pool))) for _ in range(k)]
        v = tree.add()
        for c in picked:
            tree.children[v].append(c)
            tree.parent[c] = v
        r = rnd.random()
        if r < 0.6:
            tree.label[v] = f"N{rnd.randrange(4)}"
        elif r < 0.7:
            tree.label[v] = f"L{rnd.randrange(n_leaves)}"
        pool.append(v)
    text = to_newick(renumber(tree, pool[0]))
    missing, unedited = rnd.choice([(-1, 0), (-1, 0), (2, 1)])
    n_chars = rnd.randint(0, 4)
    values = [-1, 0, 1, 2, 3]
    matrix = []
    for _ in range(max(0, n_leaves + rnd.randint(-2, 1))):
        length = n_chars if rnd.random() < 0.8 else max(0, n_chars + rnd.choice([-1, 1]))
        matrix.append([rnd.choice(values) for _ in range(length)])
    states = None
    if rnd.random() < 0.4:
        names = [f"N{i}" for i in range(4)] + [f"L{i}" for i in range(n_leaves)]
        states = {
            name: [rnd.choice(values) for _ in range(rnd.randint(0, n_chars + 1))]
            for name in rnd.sample(names, rnd.randint(0, len(names)))
        }
    return {
        "text": text,
        "matrix": matrix,
        "states": states,
        "missing": missing,
        "unedited": unedited,
    }


character_cases = st.integers(0, 2**32 - 1).map(
    lambda seed: random_character_case(random.Random(seed))
)
