"""Type information for veltrane, a native library of metrics over rooted phylogenetic trees.

Trees are Newick texts. Every function returns a new dict; its keys are listed by the
TypedDict it is annotated with. The TypedDicts exist for type checkers only: import them under
``if typing.TYPE_CHECKING:``.

Failures raise exceptions: TypeError or OverflowError for bad arguments, ValueError for a Newick
text that cannot be read, and ``PanicException`` (a BaseException subclass that the module does
not export) for a broken internal invariant.
"""

from collections.abc import Sequence
from typing import (
    Any,
    Literal,
    Protocol,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    type_check_only,
)

__all__ = [
    "triplets_correct",
    "triplets_correct_fast",
    "triplets_correct_ultra",
    "triplets_correct_parallel",
    "triplets_correct_optimized",
    "phs_optimized",
    "robinson_foulds_distance",
    "robinson_foulds_distance_normalized",
    "parsimony_score",
    "parsimony_p_value",
    "likelihood_score",
    "likelihood_distance",
]

# ---------------------------------------------------------------------------------------------
# Inputs

@type_check_only
class IntegerArray(Protocol):
    """A 2-D integer array such as a NumPy ``ndarray``, read through the buffer protocol."""

    @property
    def __array_interface__(self) -> dict[str, Any]: ...

# One row of small signed integers per leaf (row k belongs to the k-th leaf in text order).
# Values must fit 32 bits; rows may differ in length.
_CharacterMatrix: TypeAlias = Sequence[Sequence[SupportsIndex]] | IntegerArray

# Node label -> state vector. The module accepts a dict (or a dict subclass) only.
_InternalStates: TypeAlias = dict[str, list[int]] | dict[str, Sequence[SupportsIndex]]

# Arguments converted by the integer protocol (int, bool, or any object with __index__).
_Count: TypeAlias = SupportsIndex
# Arguments converted by float() (float, int, or any object with __float__ or __index__).
_Rate: TypeAlias = SupportsFloat | SupportsIndex

# ---------------------------------------------------------------------------------------------
# Results

@type_check_only
class TripletResult(TypedDict):
    """Shares of leaf triples on which the two trees agree. Each value is ``{0: share}``."""

    all_triplets_correct: dict[int, float]
    resolvable_triplets_correct: dict[int, float]
    unresolved_triplets_correct: dict[int, float]
    proportion_unresolvable: dict[int, float]

@type_check_only
class UltraTripletResult(TripletResult):
    method_used: Literal["exhaustive", "sampling"]
    total_triplets_checked: int

@type_check_only
class ParallelTripletResult(TripletResult):
    method_used: Literal["parallel_exhaustive", "parallel_sampling"]
    total_triplets_checked: int
    parallel_chunks_used: int

@type_check_only
class OptimizedTripletResult(TripletResult):
    method_used: Literal["optimized_exhaustive", "optimized_sampling"]
    total_triplets_checked: int
    parallel_chunks_used: int

@type_check_only
class RobinsonFouldsResult(TypedDict):
    rf_distance: int
    computation_time_ms: float
    method_used: Literal["phylo-rs RobinsonFoulds"]

@type_check_only
class NormalizedRobinsonFouldsResult(TypedDict):
    rf_distance: int
    normalized_rf_distance: float
    computation_time_ms: float
    method_used: Literal["phylo-rs RobinsonFoulds"]
    max_possible_rf: int
    tree1_leaves: int
    tree2_leaves: int

@type_check_only
class ParsimonyResult(TypedDict):
    parsimony_score: int
    total_mutations: int
    computation_time_ms: float
    method_used: Literal["small_mp_inferred", "provided_states"]
    internal_states_inferred: bool

@type_check_only
class ParsimonyPValueResult(TypedDict):
    p_value: float
    parsimony_score: int
    computation_time_ms: float
    method_used: Literal["poisson_approximation"]

@type_check_only
class LikelihoodResult(TypedDict):
    log_likelihood: float
    likelihood: float
    computation_time_ms: float
    method_used: Literal["crispr_cas9_model", "empty_data"]
    n_characters: int
    n_leaves: int

@type_check_only
class LikelihoodDistanceResult(TypedDict):
    likelihood_distance: float

@type_check_only
class PhsResult(TypedDict):
    phs_score: float
    total_pairs: int
    computation_time_ms: float
    method_used: Literal["no_pairs", "optimized_sequential", "optimized_parallel"]
    parallel_chunks_used: int

# ---------------------------------------------------------------------------------------------
# Triplet agreement

def triplets_correct(
    tree1_newick: str,
    tree2_newick: str,
    number_of_trials: _Count = 1000,
    min_triplets_at_depth: _Count = 1,
    seed: _Count | None = None,
) -> TripletResult:
    """Reference triplet agreement from ``number_of_trials`` random triples of tree 1's leaves.

    Leaves are matched by label (internal labels included). ``min_triplets_at_depth`` is
    accepted and ignored. Without a seed the triples come from operating-system entropy.
    """

def triplets_correct_fast(
    tree1_newick: str,
    tree2_newick: str,
    number_of_trials: _Count = 1000,
    min_triplets_at_depth: _Count = 1,
    seed: _Count | None = None,
) -> TripletResult:
    """As ``triplets_correct`` with precomputed tables; draws among labelled leaves only."""

def triplets_correct_ultra(
    tree1_newick: str,
    tree2_newick: str,
    number_of_trials: _Count = 5000,
    min_triplets_at_depth: _Count = 1,
    seed: _Count | None = None,
) -> UltraTripletResult:
    """Triplet agreement with leaves paired by position; exact up to 100000 triples.

    Both trees must have the same number of labelled leaves (else PanicException).
    """

def triplets_correct_parallel(
    tree1_newick: str,
    tree2_newick: str,
    number_of_trials: _Count = 10000,
    min_triplets_at_depth: _Count = 1,
    seed: _Count | None = None,
    max_threads: _Count | None = None,
) -> ParallelTripletResult:
    """As ``triplets_correct_ultra`` on the worker pool; exact up to sqrt(W) x 100000 triples.

    ``max_threads`` caps the number of chunks; it never resizes the pool.
    """

def triplets_correct_optimized(
    tree1_newick: str,
    tree2_newick: str,
    number_of_trials: _Count = 10000,
    min_triplets_at_depth: _Count = 1,
    seed: _Count | None = None,
    max_threads: _Count | None = None,
) -> OptimizedTripletResult:
    """As ``triplets_correct_parallel``, exact up to sqrt(W) x 150000 triples, larger chunks."""

# ---------------------------------------------------------------------------------------------
# Pairwise homoplasy score

def phs_optimized(
    tree_newick: str,
    character_matrix: _CharacterMatrix,
    internal_character_states: _InternalStates,
    mutation_rate: _Rate | None = None,
    collision_probability: _Rate | None = None,
    missing_state: SupportsIndex = ...,
    unedited_state: SupportsIndex = 0,
    max_threads: _Count | None = None,
) -> PhsResult:
    """Simes' combination of per-pair binomial p-values of edits shared above an unedited LCA.

    Row i belongs to the i-th labelled leaf. ``missing_state`` defaults to -1. Without
    ``mutation_rate`` the rate is estimated from the matrix; ``collision_probability``
    defaults to 0.1. A matrix with fewer rows than labelled leaves raises ValueError.
    """

# ---------------------------------------------------------------------------------------------
# Robinson-Foulds distance

def robinson_foulds_distance(tree1_newick: str, tree2_newick: str) -> RobinsonFouldsResult:
    """Number of bipartitions that arise in only one of the two trees (over both label sets)."""

def robinson_foulds_distance_normalized(
    tree1_newick: str, tree2_newick: str
) -> NormalizedRobinsonFouldsResult:
    """The distance divided by 2m - 6, m being the smaller label count (not clamped to 1)."""

# ---------------------------------------------------------------------------------------------
# Parsimony and likelihood

def parsimony_score(
    tree_newick: str,
    character_matrix: _CharacterMatrix,
    internal_character_states: _InternalStates | None = None,
    missing_state: SupportsIndex = ...,
    unedited_state: SupportsIndex = 0,
) -> ParsimonyResult:
    """Number of unedited-to-edited changes along the edges between labelled nodes.

    Row k belongs to the k-th leaf in text order. Without internal states they are inferred
    (a node keeps an edit both children share; the root is unedited). ``missing_state``
    defaults to -1.
    """

def parsimony_p_value(
    tree_newick: str,
    character_matrix: _CharacterMatrix,
    internal_character_states: _InternalStates | None = None,
    mutation_rate: _Rate | None = None,
    missing_state: SupportsIndex = ...,
    unedited_state: SupportsIndex = 0,
) -> ParsimonyPValueResult:
    """Chance of at least the parsimony score under Poisson(mutation_rate x (leaves - 1)).

    ``mutation_rate`` defaults to 0.1; above 100 mutations a normal approximation is used.
    """

def likelihood_score(
    tree_newick: str,
    character_matrix: _CharacterMatrix,
    internal_character_states: _InternalStates | None = None,
    mutation_rate: _Rate | None = None,
    collision_probability: _Rate | None = None,
    missing_state: SupportsIndex = ...,
    unedited_state: SupportsIndex = 0,
) -> LikelihoodResult:
    """Log-likelihood of the states under an irreversible editing model, one rate per edge.

    The per-edge edit probability is 1 - exp(-mutation_rate) (0.0951... by default) and
    ``collision_probability`` defaults to 0.1. An edit that is lost or changed gives -inf.
    """

def likelihood_distance(
    reconstructed_tree_newick: str,
    ground_truth_tree_newick: str,
    character_matrix: _CharacterMatrix,
    internal_states_reconstructed: _InternalStates | None = None,
    internal_states_ground_truth: _InternalStates | None = None,
    mutation_rate: _Rate | None = None,
    collision_probability: _Rate | None = None,
    missing_state: SupportsIndex = ...,
    unedited_state: SupportsIndex = 0,
) -> LikelihoodDistanceResult:
    """max(LL_truth / LL_reconstructed - 1, 0); +inf when LL_reconstructed is 0."""
