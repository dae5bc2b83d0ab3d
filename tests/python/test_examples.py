"""examples/lineage_demo.py: it runs, its simulator obeys the editing model it describes, and
its reconstruction keeps the leaf order that the positional metrics rely on."""

from __future__ import annotations

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

import oracles
import veltrane

DEMO = Path(__file__).resolve().parent.parent.parent / "examples" / "lineage_demo.py"
SMALL = ["--generations", "5", "--sites", "12", "--rotations", "4"]


@pytest.fixture(scope="module")
def demo():
    loader_spec = importlib.util.spec_from_file_location("lineage_demo", DEMO)
    module = importlib.util.module_from_spec(loader_spec)
    sys.modules["lineage_demo"] = module  # dataclasses look their module up here
    try:
        loader_spec.loader.exec_module(module)
        yield module
    finally:
        del sys.modules["lineage_demo"]


def run_demo(*args: str) -> str:
    proc = subprocess.run(
        [sys.executable, str(DEMO), *args], capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def leaf_labels(newick: str) -> list[str]:
    tree = oracles.parse_newick(newick)
    return [tree.label[v] for v in tree.leaves()]


def clusters(newick: str) -> set[frozenset[str]]:
    tree = oracles.parse_newick(newick)
    out = set()
    for v in range(len(tree.parent)):
        below = [u for u in tree.leaves() if v in tree.ancestors(u)]
        out.add(frozenset(tree.label[u] for u in below))
    return out


class TestScript:
    def test_reports_every_function_and_is_reproducible(self):
        first = run_demo(*SMALL, "--seed", "3")
        for name in veltrane.__all__:
            assert f"\n{name} " in first, name
        assert "32 cells" in first
        assert run_demo(*SMALL, "--seed", "3") == first
        assert run_demo(*SMALL, "--seed", "4") != first

    def test_default_run_completes(self):
        out = run_demo()
        assert "256 cells" in out


class TestSimulator:
    @pytest.mark.parametrize("seed", [1, 2, 3])
    def test_edits_are_inherited_and_never_lost(self, demo, seed):
        s = demo.make_scenario(seed, generations=5, sites=10, rotations=0, dropout=0.2)
        tree = oracles.parse_newick(s.truth)
        rows = dict(zip(tree.leaves(), s.matrix))
        edited_somewhere = False

        def states(v):
            return rows[v] if v in rows else s.truth_states[tree.label[v]]

        assert states(0) == [0] * 10  # the founder is unedited
        for v in range(1, len(tree.parent)):
            parent, child = states(tree.parent[v]), states(v)
            for p, c in zip(parent, child):
                if c == -1:
                    assert v in rows  # only leaves lose data
                elif p != 0:
                    assert c == p
                else:
                    edited_somewhere |= c != 0
        assert edited_somewhere

    def test_same_seed_same_scenario(self, demo):
        assert demo.make_scenario(5, generations=4) == demo.make_scenario(5, generations=4)


class TestReconstruction:
    @pytest.mark.parametrize("seed", [1, 2, 3])
    def test_rotations_keep_leaf_order_and_change_clusters(self, demo, seed):
        s = demo.make_scenario(seed, generations=5, rotations=6)
        assert leaf_labels(s.reconstructed) == leaf_labels(s.truth)
        assert clusters(s.reconstructed) != clusters(s.truth)

    def test_no_rotation_gives_the_true_topology(self, demo):
        s = demo.make_scenario(1, generations=5, rotations=0)
        assert clusters(s.reconstructed) == clusters(s.truth)

    def test_rotations_stop_when_none_is_possible(self, demo):
        s = demo.make_scenario(1, generations=1, rotations=5)
        assert clusters(s.reconstructed) == clusters(s.truth)

    @pytest.mark.parametrize("seed", [1, 2])
    def test_inferred_states_are_the_libraries_own(self, demo, seed):
        s = demo.make_scenario(seed, generations=5, rotations=6, dropout=0.2)
        given = veltrane.parsimony_score(s.reconstructed, s.matrix, s.reconstructed_states)
        inferred = veltrane.parsimony_score(s.reconstructed, s.matrix)
        assert given["parsimony_score"] == inferred["parsimony_score"]
        assert inferred["parsimony_score"] > 0
