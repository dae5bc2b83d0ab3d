"""End to end: simulate a CRISPR lineage, perturb its tree, and score the pair with every metric.

Run after installing veltrane:  python3 examples/lineage_demo.py [--seed N] [--generations G]

The simulator is deliberately simple. A founding cell with every site unedited divides for G
generations. On each branch, every still-unedited site is edited with a fixed probability into
one of a few states (drawn from a skewed distribution, so that the same edit can arise twice
independently); an edit is never lost. Finally some leaf entries are dropped as missing data.

The "reconstruction" is the true tree with some rotations applied: ((A,B),C) becomes
(A,(B,C)). A rotation changes the topology but keeps the left-to-right order of the cells, so
the metrics that pair leaves by position (triplets_correct_ultra, _parallel and _optimized)
compare the same cells.

The observed states are held as a lineage-tracing tool holds them: a table by cell name, in its
own order (a pandas DataFrame when pandas is installed). veltrane_tools.matrix_for puts its rows
in each tree's leaf order. The demo then reads the true tree as another library writes it (when
DendroPy is installed) and sweeps reconstructions of growing distortion with score_pairs.
"""

from __future__ import annotations

import argparse
import math
import random
from dataclasses import dataclass, field

import veltrane
import veltrane_tools as vt

MISSING = -1
UNEDITED = 0


@dataclass
class Node:
    label: str
    children: list[Node] = field(default_factory=list)
    states: list[int] = field(default_factory=list)


def simulate(
    rnd: random.Random, generations: int, sites: int, edit_probability: float, n_states: int
) -> Node:
    """A complete binary lineage with the states of every cell, internal ones included."""
    weights = [1.0 / (s * s) for s in range(1, n_states + 1)]  # state 1 is the most likely
    root = Node("root", states=[UNEDITED] * sites)
    level = [root]
    inner = 0
    for generation in range(generations):
        next_level = []
        for parent in level:
            for _ in range(2):
                states = [
                    rnd.choices(range(1, n_states + 1), weights)[0]
                    if s == UNEDITED and rnd.random() < edit_probability
                    else s
                    for s in parent.states
                ]
                last = generation == generations - 1
                child = Node("" if last else f"n{inner}", states=states)
                inner += 0 if last else 1
                parent.children.append(child)
                next_level.append(child)
        level = next_level
    for number, leaf in enumerate(level):
        leaf.label = f"cell{number}"
    return root


def leaves(node: Node) -> list[Node]:
    out, stack = [], [node]
    while stack:
        v = stack.pop()
        if v.children:
            stack.extend(reversed(v.children))
        else:
            out.append(v)
    return out


def internal_nodes(node: Node) -> list[Node]:
    out, stack = [], [node]
    while stack:
        v = stack.pop()
        if v.children:
            out.append(v)
            stack.extend(reversed(v.children))
    return out


def newick(node: Node, internal_labels: bool = True) -> str:
    """Newick text, with or without the labels of internal nodes (explicit stack, any depth)."""
    parts: list[str] = []
    stack: list[tuple[Node, int]] = [(node, 0)]
    while stack:
        v, i = stack.pop()
        if not v.children:
            parts.append(v.label)
        elif i == len(v.children):
            parts.append(")" + (v.label if internal_labels else ""))
        else:
            parts.append("(" if i == 0 else ",")
            stack.append((v, i + 1))
            stack.append((v.children[i], 0))
    return "".join(parts) + ";"


def rotate(rnd: random.Random, root: Node, rotations: int) -> Node:
    """A copy of the topology with random rotations at internal nodes; leaf order is kept."""

    def copy(v: Node) -> Node:
        return Node(v.label, [copy(c) for c in v.children])

    tree = copy(root)
    for _ in range(rotations):
        candidates = [v for v in internal_nodes(tree) if any(c.children for c in v.children)]
        if not candidates:
            break
        v = rnd.choice(candidates)
        left, right = v.children
        if left.children and (not right.children or rnd.random() < 0.5):
            a, b = left.children  # ((A,B),C) -> (A,(B,C))
            v.children = [a, Node("", [b, right])]
        else:
            b, c = right.children  # (A,(B,C)) -> ((A,B),C)
            v.children = [Node("", [left, b]), c]
    for number, node in enumerate(internal_nodes(tree)):
        node.label = "root" if node is tree else f"r{number}"
    return tree


def infer_states(root: Node, sites: int) -> dict[str, list[int]]:
    """Internal states by the rule the library uses when none are given: a node keeps an edit
    that both children carry, the root is unedited. (phs_optimized needs them explicitly.)"""
    states: dict[str, list[int]] = {}
    memo: dict[int, list[int]] = {}
    for v in reversed(internal_nodes(root)):  # children before parents
        kids = [c.states if not c.children else memo[id(c)] for c in v.children]
        a, b = kids
        memo[id(v)] = [
            x if x == y and x not in (MISSING, UNEDITED) else UNEDITED for x, y in zip(a, b)
        ]
        states[v.label] = memo[id(v)]
    states[root.label] = [UNEDITED] * sites
    return states


def cell_table(rnd: random.Random, rows: dict[str, list[int]]) -> object:
    """The rows by cell name in a shuffled order: a DataFrame when pandas is installed."""
    names = list(rows)
    rnd.shuffle(names)
    try:
        import pandas as pd
    except ImportError:
        return {name: rows[name] for name in names}
    sites = [f"site{k}" for k in range(len(rows[names[0]]))]
    return pd.DataFrame([rows[name] for name in names], index=names, columns=sites)


@dataclass
class Scenario:
    truth: str  # internal nodes labelled, as the character-based metrics need
    reconstructed: str
    truth_topology: str  # leaf labels only, for the tree comparisons
    reconstructed_topology: str
    cells: object  # the observed rows by cell name, in the table's own order
    truth_states: dict[str, list[int]]
    reconstructed_states: dict[str, list[int]]
    mutation_rate: float  # per branch: -ln(1 - edit probability)
    collision_probability: float  # chance that two independent edits are the same state


def make_scenario(
    seed: int,
    generations: int = 8,
    sites: int = 30,
    rotations: int = 60,
    edit_probability: float = 0.06,
    n_states: int = 12,
    dropout: float = 0.05,
) -> Scenario:
    rnd = random.Random(seed)
    root = simulate(rnd, generations, sites, edit_probability, n_states)
    cells = leaves(root)
    for cell in cells:
        cell.states = [MISSING if rnd.random() < dropout else s for s in cell.states]
    reconstruction = rotate(rnd, root, rotations)
    # The reconstruction's leaves are fresh copies: give them the observed rows too.
    for copy, cell in zip(leaves(reconstruction), cells):
        copy.states = cell.states
    truth_states = {v.label: v.states for v in internal_nodes(root)}
    weights = [1.0 / (s * s) for s in range(1, n_states + 1)]
    return Scenario(
        truth=newick(root),
        reconstructed=newick(reconstruction),
        truth_topology=newick(root, internal_labels=False),
        reconstructed_topology=newick(reconstruction, internal_labels=False),
        cells=cell_table(rnd, {cell.label: cell.states for cell in cells}),
        truth_states=truth_states,
        reconstructed_states=infer_states(reconstruction, sites),
        mutation_rate=-math.log(1.0 - edit_probability),
        collision_probability=sum(w * w for w in weights) / sum(weights) ** 2,
    )


def report(s: Scenario, seed: int) -> list[tuple[str, str, str]]:
    """(function, what, value) rows for every metric of the module."""
    rec, truth = s.reconstructed, s.truth
    # Rows in the leaf order of each tree (here the same order: rotations keep it).
    m = vt.matrix_for(rec, s.cells)
    rows: list[tuple[str, str, str]] = []

    # Tree comparisons see leaf labels only: an internal label would count as one more taxon.
    rec_topology, truth_topology = s.reconstructed_topology, s.truth_topology
    for name in veltrane.__all__:
        if not name.startswith("triplets_correct"):
            continue
        r = getattr(veltrane, name)(rec_topology, truth_topology, seed=seed)
        how = f"{r['method_used']}, {r['total_triplets_checked']} triples" if (
            "method_used" in r
        ) else "sampled triples"
        rows.append((name, f"all triplets correct ({how})", f"{r['all_triplets_correct'][0]:.4f}"))

    rf = veltrane.robinson_foulds_distance(rec_topology, truth_topology)
    rows.append(("robinson_foulds_distance", "rf_distance", str(rf["rf_distance"])))
    nrf = veltrane.robinson_foulds_distance_normalized(rec_topology, truth_topology)
    rows.append(
        (
            "robinson_foulds_distance_normalized",
            f"normalized_rf_distance (of at most {nrf['max_possible_rf']})",
            f"{nrf['normalized_rf_distance']:.4f}",
        )
    )
    ld = veltrane.likelihood_distance(rec, truth, m)["likelihood_distance"]
    rows.append(("likelihood_distance", "likelihood_distance (states inferred)", f"{ld:.4f}"))

    for label, tree, states in (
        ("truth", truth, s.truth_states),
        ("reconstructed", rec, s.reconstructed_states),
    ):
        p = veltrane.parsimony_score(tree, m)
        rows.append(("parsimony_score", f"{label}: parsimony_score", str(p["parsimony_score"])))
        pv = veltrane.parsimony_p_value(tree, m)
        rows.append(("parsimony_p_value", f"{label}: p_value", f"{pv['p_value']:.3g}"))
        ll = veltrane.likelihood_score(tree, m)
        rows.append(("likelihood_score", f"{label}: log_likelihood", f"{ll['log_likelihood']:.2f}"))
        # The homoplasy model counts depth in branches; on a tree this deep the rate it would
        # estimate from the matrix is too large for it (see the README), so pass the true ones.
        phs = veltrane.phs_optimized(
            tree, m, states, s.mutation_rate, s.collision_probability
        )
        rows.append(
            (
                "phs_optimized",
                f"{label}: phs_score over {phs['total_pairs']} pairs",
                f"{phs['phs_score']:.3g}",
            )
        )
    return rows


def as_another_library_writes_it(s: Scenario) -> list[str]:
    """The true tree read as DendroPy writes it, as it stands and after clean_newick."""
    try:
        import dendropy
    except ImportError:
        return ["(pip install dendropy to see the true tree as DendroPy writes it)"]
    tree = dendropy.Tree.get(data=s.truth_topology, schema="newick", rooting="force-rooted")
    written = tree.as_string(schema="newick").strip()
    raw = veltrane.robinson_foulds_distance(written, s.truth_topology)["rf_distance"]
    clean = vt.clean_newick(written, internal_labels=False)
    fixed = veltrane.robinson_foulds_distance(clean, s.truth_topology)["rf_distance"]
    return [
        f"The true tree as DendroPy writes it begins {written[:16]!r}.",
        f"Read as it stands it is at RF {raw} from itself; after veltrane_tools.clean_newick, "
        f"at RF {fixed}.",
    ]


def sweep(args: argparse.Namespace, truth: Scenario) -> list[str]:
    """Reconstructions of growing distortion, scored in one score_pairs call."""
    try:
        import veltrane_tools.triplets  # noqa: F401
    except ImportError:
        triplets = "triplets_sampled"  # the exact count ships with a newer veltrane_tools
    else:
        triplets = "triplets"
    pairs = {
        rotations: (
            make_scenario(args.seed, args.generations, args.sites, rotations).reconstructed_topology,
            truth.truth_topology,
        )
        for rotations in (0, 10, 40, 160)
    }
    metrics = ["rf", triplets, "parsimony", "likelihood"]
    rows = vt.score_pairs(pairs, metrics, matrix=truth.cells, seed=args.seed, as_frame=False)
    lines = [f"{'rotations':>9}  {'rf':>4}  {triplets:>16}  {'parsimony':>9}  {'likelihood':>10}"]
    for row in rows:
        lines.append(
            f"{row['id']:>9}  {row['rf']:>4}  {row[triplets]:>16.4f}  {row['parsimony']:>9}  "
            f"{row['likelihood']:>10.2f}"
        )
    return lines


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--generations", type=int, default=8)
    parser.add_argument("--sites", type=int, default=30)
    parser.add_argument("--rotations", type=int, default=60)
    args = parser.parse_args(argv)
    scenario = make_scenario(args.seed, args.generations, args.sites, args.rotations)
    print(
        f"Simulated lineage: {len(vt.leaf_labels(scenario.truth))} cells, {args.sites} sites, "
        f"seed {args.seed}; "
        f"reconstruction = truth with {args.rotations} rotations"
    )
    rows = report(scenario, args.seed)
    widths = [max(len(row[k]) for row in rows) for k in range(3)]
    print(f"{'function':<{widths[0]}}  {'result':<{widths[1]}}  {'value':>{widths[2]}}")
    print(f"{'-' * widths[0]}  {'-' * widths[1]}  {'-' * widths[2]}")
    for function, what, value in rows:
        print(f"{function:<{widths[0]}}  {what:<{widths[1]}}  {value:>{widths[2]}}")
    print()
    print("\n".join(as_another_library_writes_it(scenario)))
    print()
    print("veltrane_tools.score_pairs over reconstructions of growing distortion "
          "(internal states inferred, matrix by cell name):")
    print("\n".join(sweep(args, scenario)))


if __name__ == "__main__":
    main()
