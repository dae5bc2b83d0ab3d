"""Plain, slow Python versions of what the module computes, for comparison on small inputs."""

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

    def depth(self, v: int) -> int:
        d = 0
        while self.parent[v] is not None:
            v = self.parent[v]
            d += 1
        return d

    def ancestors(self, v: int) -> list[int]:
        path = [v]
        while self.parent[v] is not None:
            v = self.parent[v]
            path.append(v)
        return path

    def lca(self, a: int, b: int) -> int:
        up = set(self.ancestors(a))
        for v in self.ancestors(b):
            if v in up:
                return v
        raise ValueError("nodes in different components")



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


MASK32 = 0xFFFFFFFF
MASK64 = 0xFFFFFFFFFFFFFFFF


def expand_seed(seed):
    """PCG32 (XSH-RR) expansion of a 64-bit seed into eight 32-bit key words."""
    s = seed & MASK64
    words = []
    for _ in range(8):
        s = (s * 6364136223846793005 + 11634580027462260723) & MASK64
        x = (((s >> 18) ^ s) >> 27) & MASK32
        r = s >> 59
        words.append(((x >> r) | (x << ((32 - r) % 32))) & MASK32)
    return words


def _rotl(v, n):
    return ((v << n) | (v >> (32 - n))) & MASK32


def _quarter_round(x, a, b, c, d):
    x[a] = (x[a] + x[b]) & MASK32
    x[d] = _rotl(x[d] ^ x[a], 16)
    x[c] = (x[c] + x[d]) & MASK32
    x[b] = _rotl(x[b] ^ x[c], 12)
    x[a] = (x[a] + x[b]) & MASK32
    x[d] = _rotl(x[d] ^ x[a], 8)
    x[c] = (x[c] + x[d]) & MASK32
    x[b] = _rotl(x[b] ^ x[c], 7)


def chacha12_block(key, counter):
    """Sixteen output words of the ChaCha12 block for a key of eight words, nonce 0."""
    constants = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574]  # "expand 32-byte k"
    state = constants + list(key) + [counter & MASK32, counter >> 32, 0, 0]
    x = list(state)
    for _ in range(6):
        _quarter_round(x, 0, 4, 8, 12)
        _quarter_round(x, 1, 5, 9, 13)
        _quarter_round(x, 2, 6, 10, 14)
        _quarter_round(x, 3, 7, 11, 15)
        _quarter_round(x, 0, 5, 10, 15)
        _quarter_round(x, 1, 6, 11, 12)
        _quarter_round(x, 2, 7, 8, 13)
        _quarter_round(x, 3, 4, 9, 14)
    return [(a + b) & MASK32 for a, b in zip(x, state)]


class WordStream:
    """Reads a seeded keystream one 32-bit word at a time."""

    def __init__(self, seed):
        self.key = expand_seed(seed)
        self.counter = 0
        self.pending = []

    def next_u32(self):
        if not self.pending:
            self.pending = chacha12_block(self.key, self.counter)
            self.counter += 1
        return self.pending.pop(0)

    def next_u64(self):
        low = self.next_u32()
        return (self.next_u32() << 32) | low

    def uniform_inclusive_u32(self, high):
        """Uniform in [0, high] with the shifted-range rejection zone."""
        rng = high + 1  # below 2**32 here
        shift = 32 - rng.bit_length()
        zone = ((rng << shift) - 1) & MASK32
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
    if x == 0.0:
        return -math.inf
    if x < 0.0:
        return math.nan
    return math.log(x)


def phs_mutation_rate(matrix, missing_state=-1, unedited_state=0) -> float:
    entries = [s for row in matrix for s in row]
    observed = [s for s in entries if s != missing_state]
    edited = [s for s in observed if s != unedited_state]
    if not matrix or not observed:
        return 0.1
    return -_log(1.0 - len(edited) / len(observed))


def phs_pvalue(h: int, d: float, n: int, mu: float, q: float) -> float:
    """Binomial tail 1 - P(X < h), X ~ Bin(n, pi), each term from logarithms."""
    if h == 0:
        return 1.0
    if d == 1.0:
        pi = 1.0
    else:
        t = 1.0 - _exp(-mu * (1.0 - d))
        pi = q * _exp(-mu * d) * (t * t)
    if pi == 0.0:
        p = 0.0
    elif pi == 1.0:
        p = 1.0 if h <= n else 0.0
    else:
        total = 0.0
        for k in range(h):
            if k > n:
                continue
            ln_c = 0.0
            if k not in (0, n):
                for i in range(min(k, n - k)):
                    ln_c += _log((n - i) / (i + 1))
            total += _exp(ln_c + k * _log(pi) + (n - k) * _log(1.0 - pi))
        p = 1.0 - total
    return 2.0**-52 if p == 0.0 else p


class UnorderedPValues(Exception):
    """Sorting met a NaN p-value."""


def simes(pvalues: list[float]) -> float:
    m = len(pvalues)
    if m == 1:
        return pvalues[0]
    if any(math.isnan(p) for p in pvalues):
        raise UnorderedPValues
    best = math.inf
    for i, p in enumerate(sorted(pvalues), start=1):
        best = min(best, m * p / i)
    return best


def phs(
    newick: str,
    matrix,
    states: dict,
    mutation_rate=None,
    collision_probability=None,
    missing_state=-1,
    unedited_state=0,
) -> tuple[float, int]:
    """(score, total pairs) from full LCA tables, the pair sequences and one sort."""
    tree = parse_newick(newick)
    leaf_ids = [v for v in tree.leaves() if tree.label[v] is not None]
    n_leaves = len(leaf_ids)
    if n_leaves == 0:
        raise ValueError("no labelled leaf")
    if n_leaves < 2:
        return 1.0, 0
    lca_table = [[None] * n_leaves for _ in range(n_leaves)]
    lca_depth_table = [[None] * n_leaves for _ in range(n_leaves)]
    for i in range(n_leaves):
        for j in range(i + 1, n_leaves):
            v = tree.lca(leaf_ids[i], leaf_ids[j])
            lca_table[i][j] = lca_table[j][i] = v
            lca_depth_table[i][j] = lca_depth_table[j][i] = float(tree.depth(v))
    node_states = {}
    for label, vec in states.items():
        for v in range(len(tree.parent)):
            if tree.label[v] == label:
                node_states[v] = list(vec)
                break
    mu = (
        mutation_rate
        if mutation_rate is not None
        else phs_mutation_rate(matrix, missing_state, unedited_state)
    )
    q = collision_probability if collision_probability is not None else 0.1
    n = len(matrix[0]) if matrix else 0
    counts, depths = [], []
    for i in range(n_leaves):
        for j in range(i + 1, n_leaves):
            depths.append(lca_depth_table[i][j])
            s = node_states.get(lca_table[i][j])
            h = 0
            if s is not None:
                r, t = matrix[i], matrix[j]
                for k in range(min(len(r), len(t), len(s))):
                    if (
                        r[k] == t[k]
                        and r[k] != missing_state
                        and t[k] != missing_state
                        and r[k] != unedited_state
                        and s[k] == unedited_state
                    ):
                        h += 1
            counts.append(h)
    pvalues = [phs_pvalue(h, d, n, mu, q) for h, d in zip(counts, depths)]
    return simes(pvalues), len(pvalues)


# --- Triplet metrics -------------------------------------------------------------------------
# Counts are [all_correct, resolvable_correct, unresolved_correct, unresolved]. Sampling goes
# through WordStream and sample_distinct_indices above.


def triplet_outgroup(d_ab, d_ac, d_bc):
    """Index (0, 1, 2) of the member outside the strictly deepest pair, or None on a tie."""
    if d_ab > d_ac and d_ab > d_bc:
        return 2
    if d_ac > d_ab and d_ac > d_bc:
        return 1
    if d_bc > d_ab and d_bc > d_ac:
        return 0
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


def label_owners(tree):
    """Label -> node labelled last in the text. A node's label is set when the node is closed,
    which happens in post-order, so internal labels may win over leaves below them."""
    return {tree.label[v]: v for v in postorder(tree) if tree.label[v] is not None}


def lca_depth(tree, a, b):
    return tree.depth(tree.lca(a, b))


def triplets_reference(text1, text2, trials, seed):
    """Triples of all leaves of tree 1 (skipping unlabelled ones), labels resolved among all
    labelled nodes of each tree, outgroups compared as labels."""
    t1, t2 = parse_newick(text1), parse_newick(text2)
    owners = [label_owners(t1), label_owners(t2)]
    source = WordStream(seed)
    leaves = t1.leaves()
    counts = [0, 0, 0, 0]

    def outgroup(tree, owner, labels):
        if any(lab not in owner for lab in labels):
            return None
        a, b, c = (owner[lab] for lab in labels)
        o = triplet_outgroup(lca_depth(tree, a, b), lca_depth(tree, a, c), lca_depth(tree, b, c))
        return None if o is None else labels[o]

    for _ in range(trials if len(leaves) >= 3 else 0):
        labels = [t1.label[leaves[i]] for i in sample_distinct_indices(source, len(leaves), 3)]
        if None in labels:
            continue
        triplet_count(counts, outgroup(t1, owners[0], labels), outgroup(t2, owners[1], labels))
    return triplet_ratios(counts, trials)


def triplets_fast(text1, text2, trials, seed):
    """Triples of tree 1's labelled leaves, names resolved among leaves (the later leaf wins)."""
    t1, t2 = parse_newick(text1), parse_newick(text2)
    source = WordStream(seed)
    named = [v for v in t1.leaves() if t1.label[v] is not None]
    counts = [0, 0, 0, 0]

    def outgroup(tree, names):
        index = {tree.label[v]: v for v in tree.leaves() if tree.label[v] is not None}
        if any(name not in index for name in names):
            return None
        a, b, c = (index[name] for name in names)
        if len({a, b, c}) < 3:
            return None
        o = triplet_outgroup(lca_depth(tree, a, b), lca_depth(tree, a, c), lca_depth(tree, b, c))
        return None if o is None else names[o]

    for _ in range(trials if len(named) >= 3 else 0):
        names = [t1.label[named[i]] for i in sample_distinct_indices(source, len(named), 3)]
        triplet_count(counts, outgroup(t1, names), outgroup(t2, names))
    return triplet_ratios(counts, trials)


class PositionDepths:
    """Depth of the common ancestor of leaf positions i and j: position p is the p-th leaf in
    id order, and only the first n positions count, n being the number of labelled leaves."""

    def __init__(self, text):
        tree = parse_newick(text)
        leaves = tree.leaves()
        self.n = sum(tree.label[v] is not None for v in leaves)
        self.pos = leaves[: self.n]
        self.tree = tree
        self.matrix = {}  # the n x n table, filled as pairs are asked for

    def depth(self, p, q):
        if (p, q) not in self.matrix:
            self.matrix[p, q] = lca_depth(self.tree, self.pos[p], self.pos[q])
        return self.matrix[p, q]

    def outgroup(self, i, j, k):
        o = triplet_outgroup(self.depth(i, j), self.depth(i, k), self.depth(j, k))
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
    seeds = [master.next_u64() for _ in range(chunks)]
    out = []
    for q, s in enumerate(seeds):
        source = WordStream(s)
        count = trials // chunks + (1 if q < trials % chunks else 0)
        out.extend(sample_distinct_indices(source, n, min(n, 3)) for _ in range(count))
    return out
