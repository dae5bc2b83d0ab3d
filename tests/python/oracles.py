"""Plain, slow Python versions of what the module computes, for comparison on small inputs."""

from __future__ import annotations

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
