"""Plain, slow versions of what the module computes, for small inputs (recursion is fine here)."""

import math

WHITESPACE = frozenset("\t\n\v\f\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000").union(
    map(chr, range(0x2000, 0x200B)))
MASK32, MASK64 = 0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF


class Tree:
    # Nodes by id: parent (None: root, unattached), children, label; `taxa`: label -> last node.

    def __init__(self):
        self.parent, self.children, self.label, self.taxa = [], [], [], {}

    def add(self) -> int:
        self.parent.append(None)
        self.children.append([])
        self.label.append(None)
        return len(self.parent) - 1

    def leaves(self) -> list:
        return [v for v, kids in enumerate(self.children) if not kids]

    def ancestors(self, v: int) -> list:
        return [v] if self.parent[v] is None else [v, *self.ancestors(self.parent[v])]

    def lca(self, a: int, b: int) -> tuple:
        # The lowest common ancestor of a and b, and its depth.
        up = self.ancestors(a)
        v = next(v for v in self.ancestors(b) if v in up)
        return v, len(up) - 1 - up.index(v)


def parse_newick(text: str) -> Tree:
    # The lenient reader: ValueError(idx) at a stray ")" or ",", IndexError for a cut-off text.
    chars = [c for c in text if c not in WHITESPACE]
    tree, stack, label, i = Tree(), [], "", 0
    current = tree.add()
    while i < len(chars) and chars[i] != ";":
        c = chars[i]
        if c == "(":
            stack.append(current)
            current = tree.add()
        elif c in "),":
            if not stack:
                raise ValueError(i)
            tree.children[stack[-1]].append(current)
            tree.parent[current] = stack[-1]
            if label:
                tree.label[current], tree.taxa[label], label = label, current, ""
            current = tree.add() if c == "," else stack.pop()
        else:  # a label, or after ":" a branch length, which no result reads
            i += c == ":"
            while chars[i] not in ("(),;" if c == ":" else "(),:;"):
                label += "" if c == ":" else chars[i]
                i += 1
            continue
        i += 1
    if label and i < len(chars):  # at ";"
        tree.label[current], tree.taxa[label] = label, current
    return tree


def rf_distance(text1: str, text2: str) -> int:
    # Splits {cluster, rest of all labels} of reachable non-root nodes; LookupError: no label.
    trees = [parse_newick(text1), parse_newick(text2)]
    universe = frozenset().union(*(t.taxa for t in trees))

    def splits(tree: Tree) -> set:
        below: dict = {}  # node -> labels of the reachable leaves below it
        for u in tree.leaves():
            if tree.ancestors(u)[-1] == 0:
                for v in tree.ancestors(u):
                    below.setdefault(v, set()).add(tree.label[u])
        if any(None in cluster for cluster in below.values()):
            raise LookupError("unlabelled leaf")
        return {frozenset([frozenset(c), universe - c]) for v, c in below.items()
                if v != 0 or not tree.children[0]}

    return len(splits(trees[0]) ^ splits(trees[1]))


def edge_states(text, matrix, states, missing, unedited, rule) -> list:
    # (parent, child) states of every edge in id order: a named node's row (that of the last leaf
    # of its name), else its entry in states (inferred by `rule` when None), else nothing.
    tree = parse_newick(text)
    index = {tree.label[v]: k for k, v in enumerate(tree.leaves()) if tree.label[v] is not None}

    def row(name):
        return list(matrix[index[name]]) if index.get(name, len(matrix)) < len(matrix) else None

    def infer(v):
        kids = tree.children[v]
        if not kids:
            return [missing] * n if row(tree.label[v]) is None else row(tree.label[v])
        if len(kids) != 2:
            return [unedited] * n
        left, right = ((infer(c) + [missing] * n)[:n] for c in kids)  # short rows: missing
        out = [a if a == b != missing and (rule == "likelihood" or a != unedited) else unedited
               for a, b in zip(left, right)]
        if tree.label[v] is not None:
            states[tree.label[v]] = out
        return out

    if states is None and matrix:
        states, n = {}, len(matrix[0])
        infer(0)
        if tree.label[0] is not None:
            states[tree.label[0]] = [unedited] * n  # the root is always unedited

    def node(v):
        r = row(tree.label[v]) if tree.label[v] is not None else []
        return r if r is not None else list((states or {}).get(tree.label[v], []))

    return [(node(p), node(v)) for v, p in enumerate(tree.parent) if p is not None]


def parsimony(text, matrix, states=None, missing_state=-1, unedited_state=0) -> int:
    # Edits from unedited to an edited state, edge by edge.
    pairs = edge_states(text, matrix, states, missing_state, unedited_state, "parsimony")
    return sum(a == unedited_state and b not in (missing_state, unedited_state)
               for ps, cs in pairs for a, b in zip(ps, cs))


def log_likelihood(text, matrix, states=None, mutation_rate=None, collision_probability=None,
                   missing_state=-1, unedited_state=0) -> float:
    # Each edge summed on its own, then the edges in node-id order (the same float order).
    if not matrix or not matrix[0]:
        return 0.0
    p_mut = 0.09516258196404048 if mutation_rate is None else 1.0 - math.exp(-mutation_rate)
    q = 0.1 if collision_probability is None else collision_probability
    log_mut, log_stay, total = c_log(q * p_mut), c_log(1.0 - p_mut), 0.0
    for ps, cs in edge_states(text, matrix, states, missing_state, unedited_state, "likelihood"):
        edge = 0.0
        for a, b in zip(ps, cs):
            if missing_state in (a, b) or (a != unedited_state and b == a):
                continue
            edge += -math.inf if a != unedited_state else log_stay if b == a else log_mut
        total = total + edge
    return total


def c_log(x: float) -> float:
    # C's log: -inf at 0 and NaN below.
    return -math.inf if x == 0.0 else math.log(x) if x > 0.0 else math.nan


class WordStream:
    # ChaCha12 keystream (counters 0, 1, ..., nonce 0) of the PCG32-expanded key of a seed.

    def __init__(self, seed: int):
        self.key, self.counter, self.pending = [], 0, []
        for _ in range(8):
            seed = (seed * 6364136223846793005 + 11634580027462260723) & MASK64
            x, r = (((seed >> 18) ^ seed) >> 27) & MASK32, seed >> 59
            self.key.append(((x >> r) | (x << (32 - r))) & MASK32)

    def next_u32(self) -> int:
        if not self.pending:
            state = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, *self.key,
                     self.counter & MASK32, self.counter >> 32, 0, 0]
            x = list(state)
            for _ in range(6):
                for a, b, c, d in [(0, 4, 8, 12), (1, 5, 9, 13), (2, 6, 10, 14), (3, 7, 11, 15),
                                   (0, 5, 10, 15), (1, 6, 11, 12), (2, 7, 8, 13), (3, 4, 9, 14)]:
                    for p, q, r, n in [(a, b, d, 16), (c, d, b, 12), (a, b, d, 8), (c, d, b, 7)]:
                        x[p] = (x[p] + x[q]) & MASK32
                        x[r] = (((x[r] ^ x[p]) << n) | ((x[r] ^ x[p]) >> (32 - n))) & MASK32
            self.pending = [(a + b) & MASK32 for a, b in zip(x, state)]
            self.counter += 1
        return self.pending.pop(0)

    def next_u64(self) -> int:
        low = self.next_u32()
        return low | (self.next_u32() << 32)

    def uniform_inclusive_u32(self, high: int) -> int:
        # Uniform in [0, high], rejecting words past the shifted-range zone.
        zone = (((high + 1) << (32 - (high + 1).bit_length())) - 1) & MASK32
        while (m := self.next_u32() * (high + 1)) & MASK32 > zone:
            pass
        return m >> 32


def sample_distinct_indices(stream: WordStream, length: int, amount: int) -> list:
    # Floyd's algorithm; a repeated draw t puts j in t's place, before it.
    out: list = []
    for j in range(length - amount, length):
        t = stream.uniform_inclusive_u32(j)
        if t in out:
            out.insert(out.index(t), j)
        else:
            out.append(t)
    return out


def outgroup(d_xy: int, d_xz: int, d_yz: int):
    # Member 0, 1 or 2 of a triple outside its strictly deepest pair; None on a tie.
    pairs = [(d_yz, d_xy, d_xz), (d_xz, d_xy, d_yz), (d_xy, d_xz, d_yz)]
    return next((m for m, (deep, a, b) in enumerate(pairs) if deep > a and deep > b), None)


def ratios(outgroups: list, total: int) -> list:
    # The four ratios from (tree 1, tree 2) outgroups of the counted trials out of total.
    unresolved = sum(o1 is None for o1, _ in outgroups)
    both_none = sum(o1 is None and o2 is None for o1, o2 in outgroups)
    same = sum(o1 is not None and o1 == o2 for o1, o2 in outgroups)
    return [(same + both_none) / total if total else math.nan,
            same / (total - unresolved) if total - unresolved else 1.0,
            both_none / unresolved if unresolved else 1.0,
            unresolved / total if total else math.nan]


def triplets_by_label(text1, text2, trials, seed, fast) -> list:
    # Reference: triples of all leaves (one with an unlabelled leaf skipped), labels resolved
    # by the label map. Fast: triples of labelled leaves, labels resolved among leaves.
    t1, t2 = parse_newick(text1), parse_newick(text2)

    def resolve(tree, labels):
        owner = {tree.label[v]: v for v in tree.leaves()} if fast else tree.taxa
        ids = [owner.get(x) for x in labels]
        if None in ids or (fast and len(set(ids)) < 3):
            return None
        o = outgroup(*(tree.lca(ids[x], ids[y])[1] for x, y in [(0, 1), (0, 2), (1, 2)]))
        return None if o is None else labels[o]

    leaves = [v for v in t1.leaves() if not fast or t1.label[v] is not None]
    source, outgroups = WordStream(seed), []
    for _ in range(trials if len(leaves) >= 3 else 0):
        labels = [t1.label[leaves[i]] for i in sample_distinct_indices(source, len(leaves), 3)]
        if None not in labels:
            outgroups.append((resolve(t1, labels), resolve(t2, labels)))
    return ratios(outgroups, trials)


def position_depths(text: str) -> list:
    # Common-ancestor depths of the first n leaves in id order, n the labelled leaf count.
    tree = parse_newick(text)
    leaves = tree.leaves()
    leaves = leaves[: sum(tree.label[v] is not None for v in leaves)]
    return [[tree.lca(a, b)[1] for b in leaves] for a in leaves]


def triplets_by_position(text1, text2, triples) -> list:
    # (tree 1, tree 2) outgroups, as positions, of the given position triples.
    tables, triples = (position_depths(text1), position_depths(text2)), list(triples)
    found = [[outgroup(d[i][j], d[i][k], d[j][k]) for d in tables] for i, j, k in triples]
    return [[None if o is None else t[o] for o in pair] for t, pair in zip(triples, found)]


def sampled_positions(n: int, trials: int, seed: int, chunks: int) -> list:
    # The triples a sampling run draws: with chunks, a master stream seeds one per chunk.
    master = WordStream(seed)
    sources = [master] if chunks == 1 else [WordStream(master.next_u64()) for _ in range(chunks)]
    return [sample_distinct_indices(source, n, min(n, 3)) for q, source in enumerate(sources)
            for _ in range(trials // chunks + (q < trials % chunks))]
