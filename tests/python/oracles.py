"""Plain, slow Python versions of what the module computes, for comparison on small inputs, and
the tree texts the tests build."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

WHITESPACE = set("\t\n\v\f\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000") | {
    chr(c) for c in range(0x2000, 0x200B)
}


@dataclass
class Tree:
    """Nodes by id: parent (None for the root), children in text order, label or None."""

    parent: list = field(default_factory=list)
    children: list = field(default_factory=list)
    label: list = field(default_factory=list)

    def add(self) -> int:
        self.parent.append(None)
        self.children.append([])
        self.label.append(None)
        return len(self.parent) - 1

    def leaves(self) -> list[int]:
        return [v for v in range(len(self.parent)) if not self.children[v]]

    def ancestors(self, v: int) -> list[int]:
        path = [v]
        while self.parent[v] is not None:
            v = self.parent[v]
            path.append(v)
        return path

    def depth(self, v: int) -> int:
        return len(self.ancestors(v)) - 1

    def lca(self, a: int, b: int) -> int:
        up = set(self.ancestors(a))
        return next(v for v in self.ancestors(b) if v in up)


def parse_newick(text: str) -> Tree:
    """The lenient reader, character by character (raises ValueError(idx) on a stray ) or ,)."""
    chars = [c for c in text if c not in WHITESPACE]
    tree = Tree()
    current = tree.add()
    stack: list[int] = []
    label = ""
    i = 0
    while i < len(chars):
        c = chars[i]
        if c == "(":
            stack.append(current)
            current = tree.add()
            i += 1
        elif c in "),":
            if not stack:
                raise ValueError(i)
            p = stack[-1]
            tree.children[p].append(current)
            tree.parent[current] = p
            if label:
                tree.label[current] = label
            label = ""
            current = tree.add() if c == "," else stack.pop()
            i += 1
        elif c == ";":
            if label:
                tree.label[current] = label
            break
        elif c == ":":
            i += 1
            while chars[i] not in "(),;":
                i += 1
        else:
            while chars[i] not in "(),:;":
                label += chars[i]
                i += 1
    return tree


def to_newick(tree: Tree, root: int = 0) -> str:
    """Prints a tree (iteratively) with labels on every labelled node."""
    out: list[str] = []
    stack: list[tuple[int, int]] = [(root, 0)]
    while stack:
        v, k = stack.pop()
        kids = tree.children[v]
        if k == 0 and kids:
            out.append("(")
        if k < len(kids):
            if k > 0:
                out.append(",")
            stack.append((v, k + 1))
            stack.append((kids[k], 0))
            continue
        if kids:
            out.append(")")
        if tree.label[v] is not None:
            out.append(tree.label[v])
    return "".join(out) + ";"


def binary_newick(labels, rnd, inner=None) -> str:
    """A random binary tree over the labels, kept in order; internal nodes are named inner0,
    inner1, ... when inner is given."""
    pool = list(labels)
    for k in range(len(pool) - 1):
        i = rnd.randrange(len(pool) - 1)
        pool[i : i + 2] = [f"({pool[i]},{pool[i + 1]})" + (f"{inner}{k}" if inner else "")]
    return pool[0] + ";"


def caterpillar(n: int, prefix: str = "t", inner: str | None = None) -> str:
    """((p0,p1),p2)...: the deepest nesting n leaves allow, internal nodes named inner1.. when
    inner is given."""
    tail = "".join(f",{prefix}{i})" + (f"{inner}{i}" if inner else "") for i in range(1, n))
    return "(" * (n - 1) + f"{prefix}0" + tail + ";"


def rf_distance(text1: str, text2: str) -> int:
    """Bipartitions {cluster, rest} of every non-root node, over the union of all labels."""
    trees = [parse_newick(text1), parse_newick(text2)]
    universe = frozenset(lab for t in trees for lab in t.label if lab is not None)

    def splits(tree: Tree) -> set:
        out = set()
        for v in range(len(tree.parent)):
            if tree.ancestors(v)[-1] != 0 or (v == 0 and tree.children[v]):
                continue  # unreachable nodes, and the root of a tree with edges
            below = [u for u in tree.leaves() if v in tree.ancestors(u)]
            cluster = frozenset(tree.label[u] for u in below)
            out.add(frozenset([cluster, universe - cluster]))
        return out

    return len(splits(trees[0]) ^ splits(trees[1]))


# Character-based scores, written straight from their definitions.


def edge_states(text, matrix, states, missing, unedited, rule) -> list:
    """(parent states, child states) of every edge in node-id order. A node reads its row when
    its name maps to an existing row, else its entry in states (inferred when None), else []."""
    tree = parse_newick(text)
    index = {}  # leaf name -> its number among all leaves in id order; a repeat keeps the later
    for number, v in enumerate(tree.leaves()):
        if tree.label[v] is not None:
            index[tree.label[v]] = number

    def row(name):
        return list(matrix[index[name]]) if index.get(name, len(matrix)) < len(matrix) else None

    if states is None and matrix:
        states, n = {}, len(matrix[0])

        def infer(v):  # recursive: small trees only
            kids = tree.children[v]
            if not kids:
                r = row(tree.label[v])
                return r if r is not None else [missing] * n
            if len(kids) != 2:
                return [unedited] * n
            left, right = infer(kids[0]), infer(kids[1])
            out = []
            for i in range(n):
                a = left[i] if i < len(left) else missing
                b = right[i] if i < len(right) else missing
                keep = a == b and a != missing and (rule == "likelihood" or a != unedited)
                out.append(a if keep else unedited)
            if tree.label[v] is not None:
                states[tree.label[v]] = out
            return out

        infer(0)
        if tree.label[0] is not None:
            states[tree.label[0]] = [unedited] * n  # the root is forced unedited

    def node(v):
        r = row(tree.label[v]) if tree.label[v] is not None else []
        return r if r is not None else list((states or {}).get(tree.label[v], []))

    return [(node(p), node(v)) for v, p in enumerate(tree.parent) if p is not None]


def parsimony(text, matrix, states=None, missing=-1, unedited=0) -> int:
    pairs = edge_states(text, matrix, states, missing, unedited, "parsimony")
    return sum(a == unedited and b not in (missing, unedited) for ps, cs in pairs
               for a, b in zip(ps, cs))


def log_likelihood(
    text, matrix, states=None, mutation_rate=None, collision=None, missing=-1, unedited=0
) -> float:
    """Edge sums in node-id order, each edge summed on its own first (same float order)."""
    if not matrix or not matrix[0]:
        return 0.0
    p_mut = 0.09516258196404048 if mutation_rate is None else 1.0 - math.exp(-mutation_rate)
    q = 0.1 if collision is None else collision
    log_mut = math.log(q * p_mut) if q * p_mut > 0 else (-math.inf if q * p_mut == 0 else math.nan)
    log_stay = math.log(1.0 - p_mut) if p_mut < 1 else (-math.inf if p_mut == 1 else math.nan)
    total = 0.0
    for ps, cs in edge_states(text, matrix, states, missing, unedited, "likelihood"):
        edge = 0.0
        for a, b in zip(ps, cs):
            if a == missing or b == missing:
                continue
            if a == unedited:
                edge += log_stay if b == a else log_mut
            elif b != a:
                edge += -math.inf
        total = total + edge
    return total


def parsimony_p_value(score: int, n_leaves: int, mutation_rate: float = 0.1) -> float:
    lam = mutation_rate * (float(n_leaves) - 1.0)
    if lam <= 0:
        return 1.0 if score == 0 else 0.0
    if score <= 100:
        if score == 0:
            return 1.0
        term = math.exp(-lam)
        total = term
        for k in range(1, score):
            term = (lam / k) * term
            total = total + term
        return 1.0 - total
    z = (float(score) - lam) / math.sqrt(lam) / 1.4142135623730951
    a = abs(z)
    t = 1.0 / (0.3275911 * a + 1.0)
    poly = ((((1.061405429 * t - 1.453152027) * t + 1.421413741) * t - 0.284496736) * t
            + 0.254829592) * t
    y = 1.0 - math.exp(-a * a) * poly
    return (1.0 - (y if z >= 0 else -y)) * 0.5


# --- The seeded random stream and the distinct-index sampler ---

MASK32, MASK64 = 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF


def expand_seed(seed):
    """PCG32 (XSH-RR) expansion of a 64-bit seed into eight 32-bit key words."""
    s, words = seed & MASK64, []
    for _ in range(8):
        s = (s * 6364136223846793005 + 11634580027462260723) & MASK64
        x, r = (((s >> 18) ^ s) >> 27) & MASK32, s >> 59
        words.append(((x >> r) | (x << ((32 - r) % 32))) & MASK32)
    return words


def chacha_block(state, rounds=12):
    """The ChaCha block function on a 16-word input state."""
    x = list(state)
    for _ in range(rounds // 2):
        for a, b, c, d in [(0, 4, 8, 12), (1, 5, 9, 13), (2, 6, 10, 14), (3, 7, 11, 15),
                           (0, 5, 10, 15), (1, 6, 11, 12), (2, 7, 8, 13), (3, 4, 9, 14)]:
            for p, q, r, n in [(a, b, d, 16), (c, d, b, 12), (a, b, d, 8), (c, d, b, 7)]:
                x[p] = (x[p] + x[q]) & MASK32
                v = x[r] ^ x[p]
                x[r] = ((v << n) | (v >> (32 - n))) & MASK32
    return [(a + b) & MASK32 for a, b in zip(x, state)]


CHACHA_CONSTANTS = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574]  # "expand 32-byte k"


class WordStream:
    """A seeded keystream read one 32-bit word at a time: ChaCha12 blocks for counters 0, 1, 2,
    ... with nonce 0."""

    def __init__(self, seed):
        self.key, self.counter, self.pending = expand_seed(seed), 0, []

    def next_u32(self):
        if not self.pending:
            state = CHACHA_CONSTANTS + self.key + [self.counter & MASK32, self.counter >> 32, 0, 0]
            self.pending = chacha_block(state)
            self.counter += 1
        return self.pending.pop(0)

    def next_u64(self):
        low = self.next_u32()
        return (self.next_u32() << 32) | low

    def uniform_inclusive_u32(self, high):
        """Uniform in [0, high] with the shifted-range rejection zone."""
        rng = high + 1  # below 2**32 here
        zone = ((rng << (32 - rng.bit_length())) - 1) & MASK32
        while True:
            m = self.next_u32() * rng
            if m & MASK32 <= zone:
                return m >> 32


def sample_distinct_indices(stream, length, amount):
    """`amount` distinct indices below `length` (< 2**32) from a WordStream, in the sampler's
    order: Floyd's algorithm, a repeat inserted before the index it repeats."""
    out = []
    for j in range(length - amount, length):
        t = stream.uniform_inclusive_u32(j)
        if t in out:
            out.insert(out.index(t), j)
        else:
            out.append(t)
    return out


# --- Pairwise homoplasy score: L x L tables, every pair in order, one sort ---


def _exp(x: float) -> float:
    """C's exp: overflow gives inf instead of raising."""
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def _log(x: float) -> float:
    """C's log: -inf at 0 and NaN below it instead of raising."""
    return -math.inf if x == 0.0 else math.nan if x < 0.0 else math.log(x)


def phs_pvalue(h: int, d: float, n: int, mu: float, q: float) -> float:
    """Binomial tail 1 - P(X < h), X ~ Bin(n, pi), each term from logarithms."""
    if h == 0:
        return 1.0
    t = 1.0 - _exp(-mu * (1.0 - d))
    pi = 1.0 if d == 1.0 else q * _exp(-mu * d) * (t * t)
    if pi in (0.0, 1.0):
        p = 1.0 if pi == 1.0 and h <= n else 0.0
    else:
        total = 0.0
        for k in range(min(h, n + 1)):
            ln_c = sum(_log((n - i) / (i + 1)) for i in range(min(k, n - k)))
            total += _exp(ln_c + k * _log(pi) + (n - k) * _log(1.0 - pi))
        p = 1.0 - total
    return 2.0**-52 if p == 0.0 else p


class UnorderedPValues(Exception):
    """Sorting met a NaN p-value."""


def phs(newick, matrix, states, mutation_rate=None, collision_probability=None,
        missing_state=-1, unedited_state=0) -> tuple[float, int]:
    """(score, total pairs) from full LCA tables, the pair sequences and one sort."""
    tree = parse_newick(newick)
    leaves = [v for v in tree.leaves() if tree.label[v] is not None]
    if not leaves:
        raise ValueError("no labelled leaf")
    if len(leaves) < 2:
        return 1.0, 0
    pairs = [(i, j) for i in range(len(leaves)) for j in range(i + 1, len(leaves))]
    lca = {(i, j): tree.lca(leaves[i], leaves[j]) for i, j in pairs}
    owner = {}  # a label's states go to the first node carrying it
    for v, label in enumerate(tree.label):
        owner.setdefault(label, v)
    node_states = {owner[lab]: list(vec) for lab, vec in states.items() if lab in owner}
    if mutation_rate is None:  # the estimate -ln(1 - edited / observed) over every row
        observed = [s for row in matrix for s in row if s != missing_state]
        edited = [s for s in observed if s != unedited_state]
        mutation_rate = -_log(1.0 - len(edited) / len(observed)) if observed else 0.1
    q = 0.1 if collision_probability is None else collision_probability
    n = len(matrix[0]) if matrix else 0
    pvalues = []
    for i, j in pairs:
        s = node_states.get(lca[i, j])
        h = 0 if s is None else sum(
            a == b != missing_state and a != unedited_state and c == unedited_state
            for a, b, c in zip(matrix[i], matrix[j], s))
        pvalues.append(phs_pvalue(h, float(tree.depth(lca[i, j])), n, mutation_rate, q))
    if len(pvalues) == 1:
        return pvalues[0], 1
    if any(math.isnan(p) for p in pvalues):
        raise UnorderedPValues
    m = len(pvalues)  # Simes' combination
    return min(m * p / i for i, p in enumerate(sorted(pvalues), start=1)), m


# --- Triplet metrics -------------------------------------------------------------------------
# Counts are [all_correct, resolvable_correct, unresolved_correct, unresolved].


def triplet_outgroup(d_ab, d_ac, d_bc):
    """Index (0, 1, 2) of the member outside the strictly deepest pair, or None on a tie."""
    for o, (deep, x, y) in enumerate([(d_bc, d_ab, d_ac), (d_ac, d_ab, d_bc), (d_ab, d_ac, d_bc)]):
        if deep > x and deep > y:
            return o
    return None


def triplet_count(counts, o1, o2):
    if o1 is None:
        counts[3] += 1
        if o2 is None:
            counts[0] += 1
            counts[2] += 1
    elif o2 is not None and o1 == o2:
        counts[0] += 1
        counts[1] += 1


def triplet_ratios(counts, total):
    """all, resolvable, unresolved, proportion; NaN where a zero total divides."""
    nan = float("nan")
    all_correct, resolvable, unresolved_correct, unresolved = counts
    return [
        all_correct / total if total else nan,
        resolvable / (total - unresolved) if total - unresolved else 1.0,
        unresolved_correct / unresolved if unresolved else 1.0,
        unresolved / total if total else nan,
    ]


def postorder(tree, root=0):
    out, stack = [], [(root, False)]
    while stack:
        v, done = stack.pop()
        if done:
            out.append(v)
            continue
        stack.append((v, True))
        stack.extend((c, False) for c in reversed(tree.children[v]))
    return out


def triplets_by_label(text1, text2, trials, seed, fast):
    """The label metrics. Reference: triples of all leaves of tree 1 (those holding an
    unlabelled leaf are skipped), a label resolved among all labelled nodes, the one closed last
    in the text (post-order) winning. Fast: triples of tree 1's labelled leaves, a label
    resolved among leaves (the later leaf wins), a label resolved to one leaf twice unresolved."""
    t1, t2 = parse_newick(text1), parse_newick(text2)
    source = WordStream(seed)
    counts = [0, 0, 0, 0]

    def owners(tree):
        nodes = tree.leaves() if fast else postorder(tree)
        return {tree.label[v]: v for v in nodes if tree.label[v] is not None}

    def outgroup(tree, owner, labels):
        if any(lab not in owner for lab in labels):
            return None
        a, b, c = (owner[lab] for lab in labels)
        if fast and len({a, b, c}) < 3:  # the fast pair table has no leaf paired with itself
            return None
        d = [tree.depth(tree.lca(x, y)) for x, y in [(a, b), (a, c), (b, c)]]
        o = triplet_outgroup(*d)
        return None if o is None else labels[o]

    owner1, owner2 = owners(t1), owners(t2)
    candidates = [v for v in t1.leaves() if not fast or t1.label[v] is not None]
    for _ in range(trials if len(candidates) >= 3 else 0):
        labels = [t1.label[candidates[i]]
                  for i in sample_distinct_indices(source, len(candidates), 3)]
        if None not in labels:
            triplet_count(counts, outgroup(t1, owner1, labels), outgroup(t2, owner2, labels))
    return triplet_ratios(counts, trials)


class PositionDepths:
    """The n x n table of common-ancestor depths of leaf positions: position p is the p-th leaf
    in id order, and only the first n positions count, n being the number of labelled leaves.
    Every leaf reaches the root here, so two leaves share depth(lca) + 1 ancestors."""

    def __init__(self, text):
        tree = parse_newick(text)
        leaves = tree.leaves()
        self.n = sum(tree.label[v] is not None for v in leaves)
        paths = [set(tree.ancestors(v)) for v in leaves[: self.n]]
        self.table = [[len(a & b) - 1 for b in paths] for a in paths]

    def outgroup(self, i, j, k):
        t = self.table
        o = triplet_outgroup(t[i][j], t[i][k], t[j][k])
        return None if o is None else (i, j, k)[o]


def triplets_positional(text1, text2, triples):
    """Counts over the given position triples, leaves of the two trees paired by position."""
    p1, p2 = PositionDepths(text1), PositionDepths(text2)
    counts = [0, 0, 0, 0]
    for i, j, k in triples:
        triplet_count(counts, p1.outgroup(i, j, k), p2.outgroup(i, j, k))
    return counts


def sampled_positions(n, trials, seed, chunks):
    """The position triples a sampling run draws: one stream for one chunk, else a master
    stream handing one 64-bit seed to each chunk, trials spread as evenly as possible."""
    if chunks == 1:
        source = WordStream(seed)
        return [sample_distinct_indices(source, n, min(n, 3)) for _ in range(trials)]
    master = WordStream(seed)
    out = []
    for q, s in enumerate([master.next_u64() for _ in range(chunks)]):
        source = WordStream(s)
        count = trials // chunks + (1 if q < trials % chunks else 0)
        out.extend(sample_distinct_indices(source, n, min(n, 3)) for _ in range(count))
    return out
