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

    def taxa_map(self) -> dict[str, int]:
        return {lab: v for v, lab in enumerate(self.label) if lab is not None}


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
    universe = frozenset().union(*(t.taxa_map().keys() for t in trees))

    def splits(tree: Tree) -> set:
        out = set()
        for v in range(len(tree.parent)):
            reachable = tree.ancestors(v)[-1] == 0
            if not reachable or (v == 0 and tree.children[v]):
                continue
            below = [u for u in range(len(tree.parent)) if v in tree.ancestors(u)]
            cluster = frozenset(tree.label[u] for u in below if not tree.children[u])
            out.add(frozenset([cluster, universe - cluster]))
        return out

    return len(splits(trees[0]) ^ splits(trees[1]))


# Character-based scores, written straight from their definitions (recursive: small trees only).


def leaf_row_index(tree: Tree) -> dict[str, int]:
    """Leaf name -> its number among all leaves in id order; a repeated name keeps the later."""
    index = {}
    for number, v in enumerate(tree.leaves()):
        if tree.label[v] is not None:
            index[tree.label[v]] = number
    return index


def node_states(tree: Tree, v: int, index: dict, matrix: list, states: dict) -> list[int]:
    """A node's row when its name maps to an existing row, else its entry in states, else []."""
    name = tree.label[v]
    if name is None:
        return []
    if name in index and index[name] < len(matrix):
        return list(matrix[index[name]])
    return list(states.get(name, []))


def infer_states(tree, v, index, matrix, states, n, missing, unedited, keep_edit) -> list[int]:
    kids = tree.children[v]
    if not kids:
        name = tree.label[v]
        if name in index and index[name] < len(matrix):
            return list(matrix[index[name]])
        return [missing] * n
    if len(kids) != 2:
        return [unedited] * n
    left = infer_states(tree, kids[0], index, matrix, states, n, missing, unedited, keep_edit)
    right = infer_states(tree, kids[1], index, matrix, states, n, missing, unedited, keep_edit)
    out = []
    for i in range(n):
        a = left[i] if i < len(left) else missing
        b = right[i] if i < len(right) else missing
        out.append(a if keep_edit(a, b) else unedited)
    if tree.label[v] is not None:
        states[tree.label[v]] = list(out)
    return out


def inferred_internal_states(text, matrix, missing=-1, unedited=0, rule="parsimony") -> dict:
    """The name -> states map that inference leaves behind, the root forced to unedited."""
    tree = parse_newick(text)
    states: dict = {}
    if not matrix:
        return states
    if rule == "parsimony":
        keep = lambda a, b: a == b and a != unedited and a != missing  # noqa: E731
    else:
        keep = lambda a, b: a == b and a != missing  # noqa: E731
    n = len(matrix[0])
    infer_states(tree, 0, leaf_row_index(tree), matrix, states, n, missing, unedited, keep)
    if tree.label[0] is not None:
        states[tree.label[0]] = [unedited] * n
    return states


def edges(tree: Tree):
    """(parent, child) for every node with a parent, in node-id order."""
    return [(p, v) for v, p in enumerate(tree.parent) if p is not None]


def parsimony(text, matrix, states=None, missing=-1, unedited=0) -> int:
    tree = parse_newick(text)
    if states is None:
        states = inferred_internal_states(text, matrix, missing, unedited)
    index = leaf_row_index(tree)
    count = 0
    for p, v in edges(tree):
        ps = node_states(tree, p, index, matrix, states)
        cs = node_states(tree, v, index, matrix, states)
        for a, b in zip(ps, cs):
            if a == unedited and b != missing and b != unedited:
                count += 1
    return count


def log_likelihood(
    text, matrix, states=None, mutation_rate=None, collision=None, missing=-1, unedited=0
) -> float:
    """Edge sums in node-id order, each edge summed on its own first (same float order)."""
    tree = parse_newick(text)
    if not matrix or not matrix[0]:
        return 0.0
    p_mut = 0.09516258196404048 if mutation_rate is None else 1.0 - math.exp(-mutation_rate)
    q = 0.1 if collision is None else collision
    log_mut = math.log(q * p_mut) if q * p_mut > 0 else (-math.inf if q * p_mut == 0 else math.nan)
    log_stay = math.log(1.0 - p_mut) if p_mut < 1 else (-math.inf if p_mut == 1 else math.nan)
    if states is None:
        states = inferred_internal_states(text, matrix, missing, unedited, rule="likelihood")
    index = leaf_row_index(tree)
    total = 0.0
    for p, v in edges(tree):
        edge = 0.0
        ps = node_states(tree, p, index, matrix, states)
        cs = node_states(tree, v, index, matrix, states)
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
