"""Argument binding and text conversion: the interpreter's wording, in the interpreter's order."""

from __future__ import annotations

import sys

import pytest

import veltrane

RF = veltrane.robinson_foulds_distance
TREE = "((A,B),(C,D));"


def type_error(fn, *args, **kwargs) -> str:
    with pytest.raises(TypeError) as ei:
        fn(*args, **kwargs)
    assert type(ei.value) is TypeError
    return str(ei.value)


class TestPositionalAndKeyword:
    @pytest.mark.parametrize(
        "args, kwargs",
        [
            ((TREE, TREE), {}),
            ((TREE,), {"tree2_newick": TREE}),
            ((), {"tree1_newick": TREE, "tree2_newick": TREE}),
            ((), {"tree2_newick": TREE, "tree1_newick": TREE}),
        ],
        ids=["positional", "mixed", "keywords", "keywords-reversed"],
    )
    def test_every_binding_gives_the_same_result(self, args, kwargs):
        assert RF(*args, **kwargs)["rf_distance"] == 0

    def test_missing_one(self):
        assert (
            type_error(RF, TREE)
            == "robinson_foulds_distance() missing 1 required positional argument: 'tree2_newick'"
        )

    def test_missing_two(self):
        assert type_error(RF) == (
            "robinson_foulds_distance() missing 2 required positional arguments: "
            "'tree1_newick' and 'tree2_newick'"
        )

    def test_missing_first_only_by_keyword(self):
        assert type_error(RF, tree2_newick=TREE) == (
            "robinson_foulds_distance() missing 1 required positional argument: 'tree1_newick'"
        )

    def test_too_many_positional_all_required(self):
        assert type_error(RF, TREE, TREE, TREE) == (
            "robinson_foulds_distance() takes 2 positional arguments but 3 were given"
        )

    def test_unexpected_keyword(self):
        assert type_error(RF, TREE, TREE, foo=1) == (
            "robinson_foulds_distance() got an unexpected keyword argument 'foo'"
        )

    def test_multiple_values(self):
        assert type_error(RF, TREE, TREE, tree1_newick=TREE) == (
            "robinson_foulds_distance() got multiple values for argument 'tree1_newick'"
        )

    def test_too_many_positional_is_checked_before_keywords(self):
        assert "takes 2 positional arguments but 3 were given" in type_error(
            RF, TREE, TREE, TREE, foo=1
        )

    def test_keywords_are_checked_in_the_callers_order(self):
        assert type_error(RF, TREE, foo=1, tree1_newick=TREE).endswith("'foo'")
        assert "multiple values" in type_error(RF, TREE, tree1_newick=TREE, foo=1)

    def test_keyword_errors_come_before_missing_arguments(self):
        assert "unexpected keyword argument 'bar'" in type_error(RF, bar=2)

    def test_normalized_variant_uses_its_own_name(self):
        assert type_error(veltrane.robinson_foulds_distance_normalized) == (
            "robinson_foulds_distance_normalized() missing 2 required positional arguments: "
            "'tree1_newick' and 'tree2_newick'"
        )


class StrSubclass(str):
    pass


class TestTextConversion:
    @pytest.mark.parametrize(
        "value, type_name",
        [(b"(A,B);", "bytes"), (None, "NoneType"), (3, "int"), ([TREE], "list")],
        ids=["bytes", "none", "int", "list"],
    )
    def test_non_str_is_a_prefixed_type_error(self, value, type_name):
        assert type_error(RF, value, TREE) == (
            f"argument 'tree1_newick': '{type_name}' object cannot be converted to 'PyString'"
        )

    def test_second_argument_is_named(self):
        assert type_error(RF, TREE, b"x").startswith("argument 'tree2_newick': ")

    def test_qualified_name_of_a_nested_class(self):
        class Inner:
            pass

        msg = type_error(RF, Inner(), TREE)
        assert msg == (
            "argument 'tree1_newick': 'TestTextConversion.test_qualified_name_of_a_nested_class."
            "<locals>.Inner' object cannot be converted to 'PyString'"
        )

    def test_str_subclass_is_accepted(self):
        assert RF(StrSubclass(TREE), TREE)["rf_distance"] == 0

    def test_lone_surrogate_raises_the_interpreters_encoding_error_unprefixed(self):
        with pytest.raises(UnicodeEncodeError) as ei:
            RF("(A,\ud800);", TREE)
        assert "argument" not in str(ei.value)

    def test_conversion_precedes_parsing(self):
        # A bad second argument is reported even though the first text cannot be parsed.
        assert type_error(RF, "(A,B));", 1).startswith("argument 'tree2_newick'")

    def test_type_error_has_no_cause(self):
        with pytest.raises(TypeError) as ei:
            RF(1, TREE)
        assert ei.value.__cause__ is None
        assert ei.value.__suppress_context__


class TestReferenceCounts:
    def test_arguments_are_not_leaked_or_over_released(self):
        t1 = "".join(["((A,B),", "(C,D));"])
        t2 = "".join(["((A,C),", "(B,D));"])
        bad = "".join(["(A,B)", ");"])
        before = [sys.getrefcount(x) for x in (t1, t2, bad)]
        for _ in range(200):
            RF(t1, t2)
            RF(tree1_newick=t1, tree2_newick=t2)
            with pytest.raises(ValueError):
                RF(bad, t2)
            with pytest.raises(TypeError):
                RF(t1, t2, t1)
        assert [sys.getrefcount(x) for x in (t1, t2, bad)] == before



@pytest.mark.slow
def test_repeated_calls_do_not_grow_memory():
    import tracemalloc

    def work():
        for _ in range(2_000):
            RF(TREE, "((A,C),(B,D));")
            with pytest.raises(ValueError):
                RF("(A,B));", TREE)
            with pytest.raises(TypeError):
                RF(TREE)
            with pytest.raises(TypeError):
                RF(b"x", TREE)
            try:
                RF("(A,);", TREE)
            except BaseException:  # noqa: BLE001 - PanicException
                pass

    work()
    tracemalloc.start()
    work()
    first, _ = tracemalloc.get_traced_memory()
    work()
    second, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert second - first < 64 * 1024
