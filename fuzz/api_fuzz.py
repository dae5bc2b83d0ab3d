"""Random hostile calls of every veltrane function (and of every public veltrane_tools function
when that package is there): wrong types, boundary and huge integers, NaN and infinite floats,
nested and ragged sequences, NumPy arrays of every integer and float dtype, dict subclasses,
objects whose __index__, __len__ or __iter__ raise, sequences and dicts that change while they
are being read, labels with quotes and brackets, and second trees that list the first tree's
labels in another order.

Every call must return a dict or raise a clean exception; the process must stay usable (a
known call is checked every few calls). Calls run with warnings ignored or turned into errors;
a call that raised its warning must, made again with warnings ignored, return a result
(warnings come only after a result). A call that runs long is stopped by SIGALRM through the
module's own interrupt handling, so a hang shows as a timeout of the whole run.

    python fuzz/api_fuzz.py --seconds 600 --seed 1    # or --calls N
Exit status 0 when nothing went wrong; otherwise the failing call is printed for replay.
"""

from __future__ import annotations

import argparse
import collections
import fractions
import inspect
import random
import signal
import sys
import time
import warnings

import veltrane

try:
    import veltrane_tools
except ImportError:  # the tools package is fuzzed when it is installed
    veltrane_tools = None

try:
    import numpy as np
except ImportError:  # the fuzzer runs without NumPy, with fewer kinds of values
    np = None


class Hostile(Exception):
    """Raised by the hostile objects below: a clean, expected failure."""


class CallTimeout(BaseException):
    """Raised by the SIGALRM handler inside a call that runs too long. Like KeyboardInterrupt
    it is no Exception, so code that ignores a failing __len__ must not swallow it."""


def _on_alarm(signum, frame):
    raise CallTimeout()


def panic_type():
    try:
        veltrane.robinson_foulds_distance("(A,);", "(A,B);")
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    raise AssertionError("no PanicException")


PANIC = panic_type()
EXPECTED = (TypeError, OverflowError, ValueError, MemoryError, Hostile, CallTimeout, PANIC,
            RuntimeWarning)
# The tools raise ordinary exceptions only; a missing optional dependency is an ImportError.
EXPECTED_TOOLS = (TypeError, OverflowError, ValueError, MemoryError, Hostile, CallTimeout,
                  ImportError, RuntimeWarning)

# ---- Hostile objects ----


class BadIndex:
    def __index__(self):
        raise Hostile("__index__")


class BadFloat:
    def __float__(self):
        raise Hostile("__float__")


class IndexReturnsFloat:
    def __index__(self):
        return 1.5


class BadLen(list):
    def __len__(self):
        raise Hostile("__len__")


class HugeLen(list):
    def __len__(self):
        return 2**62


class NegativeLen(list):
    def __len__(self):
        return -1


class BadIter(list):
    def __iter__(self):
        raise Hostile("__iter__")


class IterFailsLater(list):
    def __iter__(self):
        yield from list(list.__iter__(self))[:1]
        raise Hostile("iteration")


class GetItemOnly:
    """A sequence by __len__ and __getitem__ alone, whose items may run out early."""

    def __init__(self, items, fail_at=None):
        self.items = items
        self.fail_at = fail_at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Hostile("__getitem__")
        return self.items[i]


class Mutator:
    """An integer whose conversion edits the container that is being read."""

    def __init__(self, target, how):
        self.target = target
        self.how = how

    def __index__(self):
        t = self.target
        if isinstance(t, dict):
            if self.how == 0:
                t["added%d" % len(t)] = [1]
            elif self.how == 1 and t:
                t.pop(next(iter(t)))
                t["swapped%d" % id(self)] = [2]
            else:
                t.clear()
        else:
            if self.how == 0:
                t.append([1, 2])
            elif self.how == 1:
                t.clear()
            else:
                t[:] = t[::-1] + [7] * 3
        return 1


class DictSub(dict):
    def __iter__(self):
        raise Hostile("dict __iter__")

    def items(self):
        raise Hostile("dict items")


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


# ---- Values ----

INTS = [0, 1, 2, 3, 7, -1, -2, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**32, 2**63 - 1,
        2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1, 10**30, -(10**30), True, False]
FLOATS = [0.0, -0.0, 0.1, 1.0, 1.5, -1.0, 2.0, 1e300, -1e300, 5e-324, float("nan"),
          float("inf"), float("-inf")]


def numpy_values(rnd):
    if np is None:
        return []
    dtypes = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64,
              np.float16, np.float32, np.float64, np.bool_]
    dt = rnd.choice(dtypes)
    shape = rnd.choice([(0,), (3,), (4, 3), (2, 0), (0, 3), (2, 2, 2), ()])
    raw = [rnd.choice([0, 1, -1, 5, 127, 2**31 - 1]) for _ in range(int(np.prod(shape)) or 1)]
    with np.errstate(all="ignore"):
        arr = np.array(raw[: int(np.prod(shape))] if shape else raw[0]).astype(dt).reshape(shape)
    out = [arr, dt(1), dt(0)]
    if arr.ndim >= 1 and arr.shape[0] > 1:
        out.append(arr[::-1])  # a non-contiguous view
    if arr.ndim == 2:
        out.append(arr.T)
        out.append(np.asfortranarray(arr))
    out.append(arr.astype(object))
    return out


def any_value(rnd, depth=0):
    pool = [
        None, "", "x", "(A,B);", b"(A,B);", bytearray(b"(A,B);"), memoryview(b"ab"), [], (),
        {}, set(), frozenset(), object(), range(4), range(-3, 3), Ellipsis, 1 + 2j,
        fractions.Fraction(1, 3), StrSub("(A,B);"), IntSub(5), FloatSub(0.5), BadIndex(),
        BadFloat(), IndexReturnsFloat(), print, int, "\ud800", "(A\ud800,B);",
    ]
    pool += INTS + FLOATS + numpy_values(rnd)
    if depth < 2:
        pool.append([any_value(rnd, depth + 1) for _ in range(rnd.randrange(4))])
        key = rnd.choice([1, None, b"A", ("A",), 2.5, "A", StrSub("A")])
        pool.append({key: [1]})
    return rnd.choice(pool)


LABELS = ["", "A", "é", "'A'", "[&R]", "B[1]", '"q"']


def random_labels(rnd):
    n = rnd.randrange(1, 25)
    return [rnd.choice(["t%d" % rnd.randrange(30)] * 4 + LABELS) for _ in range(n)]


def random_newick(rnd, labels=None):
    r = rnd.random()
    if labels is None and r < 0.1:
        return "".join(rnd.choice("(),:;AB01 .e-x'[]\u00a0\u3000") for _ in range(rnd.randrange(30)))
    if labels is None and r < 0.15:
        return "(" * rnd.randrange(1, 20000) + "A" + ")" * rnd.randrange(0, 20000) + ";"
    pool = list(labels if labels is not None else random_labels(rnd))
    while len(pool) > 1:
        k = min(len(pool), rnd.randint(1, 4))
        kids = [pool.pop(rnd.randrange(len(pool))) for _ in range(k)]
        name = rnd.choice(["", "", "n%d" % rnd.randrange(30), "t0"])
        length = rnd.choice(["", "", ":1.5", ":x", ":nan", ":-0"])
        pool.append("(" + ",".join(kids) + ")" + name + length)
    return pool[0] + rnd.choice([";", ";", "", ";(A,B);"])


def as_array(values, dtype):
    """values as a NumPy array of dtype, wrapping out-of-range integers; the list itself when
    even int64 cannot hold them."""
    try:
        with np.errstate(all="ignore"):
            return np.array(values, dtype=np.int64).astype(dtype)
    except (OverflowError, ValueError):
        return values


def state(rnd):
    return rnd.choice([0, 0, 1, 2, -1, 5] + [rnd.choice(INTS)] * (rnd.random() < 0.1))


def row(rnd, length):
    r = rnd.random()
    values = [state(rnd) for _ in range(length)]
    if r < 0.8:
        return values
    if r < 0.85:
        return tuple(values)
    if r < 0.9 and np is not None:
        return as_array(values, rnd.choice([np.int32, np.int64, np.int8, np.uint16, np.float64]))
    if r < 0.93:
        return GetItemOnly(values, fail_at=rnd.choice([None, 0, 1]))
    return rnd.choice([HugeLen(values), BadLen(values), NegativeLen(values), BadIter(values),
                       IterFailsLater(values), "123", [values], values + [BadIndex()],
                       values + [1.5], any_value(rnd)])


def matrix(rnd):
    r = rnd.random()
    rows, width = rnd.randrange(0, 30), rnd.randrange(0, 6)
    if r < 0.15 and np is not None:
        dt = rnd.choice([np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint32,
                         np.uint64, np.float32, np.float64])
        values = [[state(rnd) for _ in range(width)] for _ in range(rows)]
        arr = as_array(values, dt)
        return arr.reshape(rows, width) if isinstance(arr, np.ndarray) and not arr.size else arr
    m = [row(rnd, width if rnd.random() < 0.8 else rnd.randrange(8)) for _ in range(rows)]
    if r < 0.25 and m:
        m[rnd.randrange(len(m))] = [Mutator(m, rnd.randrange(3)), 1]
        return m
    if r < 0.3:
        return rnd.choice([HugeLen(m), BadLen(m), BadIter(m), tuple(m), "abc", any_value(rnd)])
    return m


def state_map(rnd):
    names = ["n%d" % i for i in range(30)] + ["t%d" % i for i in range(30)] + ["R", "A", "é"]
    d = {rnd.choice(names): row(rnd, rnd.randrange(6)) for _ in range(rnd.randrange(8))}
    r = rnd.random()
    if r < 0.1 and d:
        d[rnd.choice(list(d))] = [Mutator(d, rnd.randrange(3)), 0]
    elif r < 0.15:
        d = DictSub(d)
    elif r < 0.2:
        d[rnd.choice([1, None, b"x", ("a",)])] = [1]
    elif r < 0.25:
        return any_value(rnd)
    return d


KINDS = {
    "tree1_newick": "text", "tree2_newick": "text", "tree_newick": "text",
    "reconstructed_tree_newick": "text", "ground_truth_tree_newick": "text",
    "number_of_trials": "u64", "min_triplets_at_depth": "u64", "seed": "u64", "max_threads": "u64",
    "mutation_rate": "f64", "collision_probability": "f64",
    "missing_state": "i32", "unedited_state": "i32",
    "character_matrix": "matrix", "internal_character_states": "states",
    "internal_states_reconstructed": "states", "internal_states_ground_truth": "states",
}


def value_for(kind, rnd):
    if rnd.random() < 0.03:
        return any_value(rnd)
    if kind == "text":
        return random_newick(rnd) if rnd.random() < 0.95 else StrSub(random_newick(rnd))
    if kind == "u64":
        if rnd.random() < 0.7:
            return rnd.choice([None, 0, 1, 3, 50, 1000, IntSub(4), True])
        return rnd.choice([10**12, 2**64 - 1, 2**64, -1, BadIndex(), 2.5] + numpy_values(rnd)[1:2])
    if kind == "i32":
        if rnd.random() < 0.8:
            return rnd.choice([0, -1, 1, 2])
        return rnd.choice([2**31 - 1, -(2**31), 2**31, -(2**31) - 1, 2**64, None, BadIndex(), 0.0])
    if kind == "f64":
        return rnd.choice(FLOATS + [None, 0, 1, 10**400, "0.1", BadFloat(), IndexReturnsFloat(),
                                    fractions.Fraction(1, 10), FloatSub(0.2)])
    if kind == "matrix":
        return matrix(rnd)
    return state_map(rnd) if rnd.random() < 0.9 else None


def make_call(rnd, functions):
    name = rnd.choice(sorted(functions))
    params, required = functions[name]
    r = rnd.random()
    if r < 0.8:
        n_pos = rnd.randrange(required, len(params) + 1)
    else:
        n_pos = rnd.randrange(len(params) + 1) if r < 0.97 else len(params) + 1
    args, kwargs = [], {}
    for i, p in enumerate(params):
        if i >= n_pos and rnd.random() < 0.5:
            if rnd.random() < 0.5:
                kwargs[p] = value_for(KINDS[p], rnd)
            continue
        if i < n_pos:
            args.append(value_for(KINDS[p], rnd))
    if n_pos > len(params):
        args.append(any_value(rnd))
    if rnd.random() < 0.03:
        kwargs[rnd.choice(["foo", params[0]])] = any_value(rnd)
    if rnd.random() < 0.3 and len(args) >= 2 and all(KINDS.get(p) == "text" for p in params[:2]):
        # The same labels in another order, and often the same rows for both.
        labels = random_labels(rnd)
        args[0] = random_newick(rnd, labels)
        args[1] = random_newick(rnd, rnd.sample(labels, len(labels)))
    return name, args, kwargs


def tool_call(rnd, tools):
    """A veltrane_tools function with arguments chosen by parameter name."""
    name = rnd.choice(sorted(tools))
    args, kwargs = [], {}
    for p in inspect.signature(getattr(veltrane_tools, name)).parameters.values():
        if p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD):
            continue
        lowered = p.name.lower()
        kind = ("text" if "newick" in lowered or "tree" in lowered or "text" in lowered
                else "matrix" if "matrix" in lowered else None)
        value = value_for(kind, rnd) if kind else any_value(rnd)
        if p.default is not p.empty and rnd.random() < 0.6:
            continue  # the default
        if p.kind == p.KEYWORD_ONLY:
            kwargs[p.name] = value
        else:
            args.append(value)
    if name == "score_pairs":
        kwargs["jobs"] = 1
    return name, args, kwargs


def call_with_warnings(fn, args, kwargs, as_errors):
    with warnings.catch_warnings():
        warnings.simplefilter("error" if as_errors else "ignore")
        return fn(*args, **kwargs)


def check_result(result):
    assert type(result) is dict, type(result)
    for key, value in result.items():
        assert type(key) is str
        assert type(value) in (int, float, str, bool, dict), (key, type(value))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--calls", type=int, default=None)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--call-timeout", type=float, default=0.25)
    opts = parser.parse_args(argv)

    functions = {}
    for name in veltrane.__all__:
        params = inspect.signature(getattr(veltrane, name)).parameters.values()
        required = sum(p.default is inspect.Parameter.empty for p in params)
        functions[name] = ([p.name for p in params], required)
    # The package's functions (not its types and tables); sweeps run in this process.
    tools = [n for n in getattr(veltrane_tools, "__all__", [])
             if inspect.isfunction(getattr(veltrane_tools, n))] if veltrane_tools else []
    known = ("((A,B),(C,D));", "((A,C),(B,D));")  # other leaf orders: warns, ignored here
    warnings.simplefilter("ignore", RuntimeWarning)
    baseline = veltrane.triplets_correct_parallel(*known, 50, seed=3)
    signal.signal(signal.SIGALRM, _on_alarm)
    rnd = random.Random(opts.seed)
    outcomes = collections.Counter()
    start = time.monotonic()
    calls = 0
    while (calls < opts.calls) if opts.calls is not None else (
        time.monotonic() - start < opts.seconds
    ):
        call_seed = rnd.getrandbits(64)
        as_errors = rnd.random() < 0.5
        on_tools = bool(tools) and rnd.random() < 0.15

        def make():
            # The same seed makes the same arguments, fresh: hostile ones may have changed.
            if on_tools:
                name, args, kwargs = tool_call(random.Random(call_seed), tools)
                return name, getattr(veltrane_tools, name), args, kwargs
            name, args, kwargs = make_call(random.Random(call_seed), functions)
            return name, getattr(veltrane, name), args, kwargs

        name, fn, args, kwargs = make()
        signal.setitimer(signal.ITIMER_REAL, opts.call_timeout)
        try:
            try:
                result = call_with_warnings(fn, args, kwargs, as_errors)
                outcome = "ok"
                if not on_tools:
                    check_result(result)
            except (RuntimeWarning, UserWarning) as warned:
                # The warning came after a result: ignored, the same call gives one. Only the
                # tools warn with a UserWarning (table rows the tree does not name).
                if not on_tools and not isinstance(warned, RuntimeWarning):
                    raise
                outcome = type(warned).__name__
                name, fn, args, kwargs = make()
                result = call_with_warnings(fn, args, kwargs, False)
                if not on_tools:
                    check_result(result)
        except EXPECTED_TOOLS if on_tools else EXPECTED as exc:
            outcome = type(exc).__name__
        except BaseException as exc:  # noqa: BLE001 - anything else is a finding
            signal.setitimer(signal.ITIMER_REAL, 0)
            where = "veltrane_tools." + name if on_tools else name
            print(f"FAIL {where} call_seed={call_seed} warnings_as_errors={as_errors}: "
                  f"{type(exc).__name__}: {exc}")
            print(f"  args={args!r:.2000}\n  kwargs={kwargs!r:.2000}")
            return 1
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        outcomes[("tools " if on_tools else "") + outcome] += 1
        calls += 1
        if calls % 25 == 0:
            assert veltrane.triplets_correct_parallel(*known, 50, seed=3) == baseline
            assert veltrane.robinson_foulds_distance(*known)["rf_distance"] == 2
    elapsed = time.monotonic() - start
    print(f"calls={calls} seconds={elapsed:.1f} calls_per_second={calls / elapsed:.0f} seed={opts.seed}")
    print("outcomes " + " ".join(f"{k.replace(' ', ':')}={v}" for k, v in sorted(outcomes.items())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
