"""Every veltrane function called as a typed caller would; mypy --strict must accept it. The
suite also runs it, so each call is a real, working call."""

from __future__ import annotations

from typing import TYPE_CHECKING

import veltrane

if TYPE_CHECKING:
    from veltrane import LikelihoodResult, RobinsonFouldsResult, TripletResult

TRUTH, OTHER = "((A,B)X,(C,D)Y)R;", "((A,C)X,(B,D)Y)R;"
MATRIX: list[list[int]] = [[1, 0], [1, 2], [2, 0], [0, -1]]
STATES: dict[str, list[int]] = {"X": [1, 0], "Y": [0, 0], "R": [0, 0]}


def share(result: TripletResult) -> float:
    return result["all_triplets_correct"][0]


def main() -> list[object]:
    ultra = veltrane.triplets_correct_ultra(OTHER, TRUTH)
    exact: bool = ultra["method_used"] == "exhaustive"
    parallel = veltrane.triplets_correct_parallel(OTHER, TRUTH, max_threads=2)
    chunks: int = parallel["parallel_chunks_used"]
    optimized = veltrane.triplets_correct_optimized(
        tree1_newick=OTHER, tree2_newick=TRUTH, number_of_trials=500, seed=None)
    rf: RobinsonFouldsResult = veltrane.robinson_foulds_distance(OTHER, TRUTH)
    normalized = veltrane.robinson_foulds_distance_normalized(OTHER, TRUTH)
    ratio: float = normalized["normalized_rf_distance"]
    inferred: bool = veltrane.parsimony_score(TRUTH, MATRIX)["internal_states_inferred"]
    likelihood: LikelihoodResult = veltrane.likelihood_score(TRUTH, MATRIX, missing_state=-1)
    return [share(veltrane.triplets_correct(OTHER, TRUTH, 100, seed=1)),
            share(veltrane.triplets_correct_fast(OTHER, TRUTH, seed=2)), exact, chunks,
            optimized["method_used"], rf["rf_distance"], ratio, inferred,
            likelihood["n_characters"],
            veltrane.phs_optimized(TRUTH, MATRIX, STATES, collision_probability=0.05)["phs_score"],
            veltrane.parsimony_p_value(TRUTH, MATRIX, STATES, mutation_rate=0.2)["p_value"],
            veltrane.likelihood_distance(OTHER, TRUTH, MATRIX, STATES)["likelihood_distance"]]
