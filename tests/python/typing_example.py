"""Every veltrane function called the way a typed caller would; mypy --strict must accept it.

The suite also runs this file, so each call here is a real, working call.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import veltrane

if TYPE_CHECKING:
    from veltrane import LikelihoodResult, RobinsonFouldsResult, TripletResult

TRUTH = "((A,B)X,(C,D)Y)R;"
RECONSTRUCTED = "((A,C)X,(B,D)Y)R;"
MATRIX: list[list[int]] = [[1, 0], [1, 2], [2, 0], [0, -1]]
STATES: dict[str, list[int]] = {"X": [1, 0], "Y": [0, 0], "R": [0, 0]}


def share(result: TripletResult) -> float:
    return result["all_triplets_correct"][0]


def main() -> list[object]:
    out: list[object] = []
    out.append(share(veltrane.triplets_correct(RECONSTRUCTED, TRUTH, 100, seed=1)))
    out.append(share(veltrane.triplets_correct_fast(RECONSTRUCTED, TRUTH, seed=2)))
    ultra = veltrane.triplets_correct_ultra(RECONSTRUCTED, TRUTH)
    exact: bool = ultra["method_used"] == "exhaustive"
    out.append((share(ultra), exact, ultra["total_triplets_checked"]))
    parallel = veltrane.triplets_correct_parallel(RECONSTRUCTED, TRUTH, max_threads=2)
    chunks: int = parallel["parallel_chunks_used"]
    out.append(chunks)
    optimized = veltrane.triplets_correct_optimized(
        tree1_newick=RECONSTRUCTED, tree2_newick=TRUTH, number_of_trials=500, seed=None
    )
    out.append(optimized["method_used"])

    rf: RobinsonFouldsResult = veltrane.robinson_foulds_distance(RECONSTRUCTED, TRUTH)
    distance: int = rf["rf_distance"]
    normalized = veltrane.robinson_foulds_distance_normalized(RECONSTRUCTED, TRUTH)
    ratio: float = normalized["normalized_rf_distance"]
    out.append((distance, ratio, normalized["max_possible_rf"]))

    phs = veltrane.phs_optimized(TRUTH, MATRIX, STATES, collision_probability=0.05)
    out.append((phs["phs_score"], phs["total_pairs"]))

    parsimony = veltrane.parsimony_score(TRUTH, MATRIX)
    inferred: bool = parsimony["internal_states_inferred"]
    out.append((parsimony["parsimony_score"], inferred))
    p_value = veltrane.parsimony_p_value(TRUTH, MATRIX, STATES, mutation_rate=0.2)
    out.append(p_value["p_value"])

    likelihood: LikelihoodResult = veltrane.likelihood_score(
        TRUTH, MATRIX, missing_state=-1, unedited_state=0
    )
    out.append((likelihood["log_likelihood"], likelihood["n_characters"]))
    gap = veltrane.likelihood_distance(RECONSTRUCTED, TRUTH, MATRIX, STATES, STATES)
    out.append(gap["likelihood_distance"])
    return out


if __name__ == "__main__":
    for value in main():
        print(value)
