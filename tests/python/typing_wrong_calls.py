"""Calls that mypy --strict must reject. A comment "# wrong: <part of the message>" stands on
the line before each of them; no other line may draw an error.

Type-checked only, never run.
"""

from __future__ import annotations

import veltrane

TREE = "((A,B),(C,D));"

# wrong: Missing positional argument "tree2_newick"
veltrane.robinson_foulds_distance(TREE)
# wrong: Argument 1 to "triplets_correct" has incompatible type "bytes"
veltrane.triplets_correct(b"(A,B,C);", TREE)
# wrong: Argument "number_of_trials" to "triplets_correct_ultra" has incompatible type "float"
veltrane.triplets_correct_ultra(TREE, TREE, number_of_trials=2.5)
# wrong: Unexpected keyword argument "seeds"
veltrane.triplets_correct_parallel(TREE, TREE, seeds=3)
# wrong: List item 0 has incompatible type "str"
veltrane.parsimony_score(TREE, ["1010", "0110"])
# wrong: Missing positional argument "internal_character_states"
veltrane.phs_optimized(TREE, [[1], [0]])
# wrong: Argument 3 to "likelihood_score" has incompatible type "dict[int, list[int]]"
veltrane.likelihood_score(TREE, [[1]], {1: [0]})
# wrong: TypedDict "RobinsonFouldsResult" has no key "rf_distanc"
veltrane.robinson_foulds_distance(TREE, TREE)["rf_distanc"]
# wrong: Incompatible types in assignment (expression has type "float", variable has type "int")
count: int = veltrane.likelihood_score(TREE, [[1]])["likelihood"]
# wrong: Non-overlapping equality check
exact: bool = veltrane.triplets_correct_ultra(TREE, TREE)["method_used"] == "parallel"
# wrong: Module has no attribute "PanicException"
veltrane.PanicException
