"""The Newick reader as callers see it: what the plain reader makes of any text, the error
positions, and nesting a million deep."""

import pytest

import oracles
import veltrane

RF, RFN = veltrane.robinson_foulds_distance, veltrane.robinson_foulds_distance_normalized
OTHER = "((A,B),(x,é));"


def failure(idx: int, name: str = "tree1") -> str:
    return (f"Failed to parse {name}: Custom {{ kind: InvalidData, error: InvalidCharacter"
            f" {{ idx: {idx} }} }}")


@pytest.mark.parametrize("text, idx", [
    ("A,B);", 1), ("(A,B));", 5), ("(A, B)), C;", 5),  # whitespace is removed before counting
    ("(A,B)\u3000\u3000);", 5), ("(Ä,B));", 5),  # multi-byte characters count once
])
def test_stray_close_or_comma_reports_its_character_index(text, idx):
    with pytest.raises(ValueError) as ei:
        RF(text, OTHER)
    assert str(ei.value) == failure(idx)


def outcome(call):
    # A call's result, or the text of its ValueError, or the name of its internal failure.
    try:
        return call()
    except ValueError as exc:
        return str(exc)
    except BaseException as exc:  # noqa: BLE001 - PanicException
        return type(exc).__name__


def test_any_text_reads_as_the_plain_reader_reads_it():
    hypothesis = pytest.importorskip("hypothesis")

    def plain(text):  # distances both ways and the number of labels, by the plain reader
        try:
            return [oracles.rf_distance(text, OTHER), len(oracles.parse_newick(text).taxa)] * 2
        except ValueError as exc:
            return failure(exc.args[0])
        except (IndexError, LookupError):  # ends inside a label or length; an unlabelled leaf
            return "PanicException"

    def native(text):
        r = RFN(text, OTHER)
        other = RFN(OTHER, text)
        return [r["rf_distance"], r["tree1_leaves"], other["rf_distance"], other["tree2_leaves"]]

    alphabet = "(((),,,:;;AABxé.5e-\t \n\x85\xa0\u2009\u3000\u202f"

    @hypothesis.settings(max_examples=400, deadline=None)
    @hypothesis.given(hypothesis.strategies.text(alphabet, max_size=24))
    def check(text):
        assert outcome(lambda: native(text)) == plain(text)

    check()


def test_nesting_a_million_deep():  # the reader and every walk are iterative
    deep = 1_000_000
    assert RF("(" * deep + "A" + ")" * deep + ";", "A;")["rf_distance"] == 0
    text = "(A," * deep + "B" + ")" * deep + ";"  # repeated labels: one word per cluster
    assert (RF(text, text)["rf_distance"], RF(text, "(A,B);")["rf_distance"]) == (0, 1)
    assert outcome(lambda: RF("(" * deep, OTHER)) == "PanicException"  # a lone unlabelled root
