"""The Newick reader as callers see it: what it accepts, and how it reports what it rejects."""

from __future__ import annotations

import pytest

import veltrane

RF = veltrane.robinson_foulds_distance
RFN = veltrane.robinson_foulds_distance_normalized
OK = "((A,B),(C,D));"


def diagnostic(idx: int) -> str:
    return f"Custom {{ kind: InvalidData, error: InvalidCharacter {{ idx: {idx} }} }}"


class TestParseErrors:
    @pytest.mark.parametrize(
        "text, idx",
        [
            ("A,B);", 1),
            ("(A, B)), C;", 5),  # blanks are removed before counting
            ("(A,B)\u3000\u3000);", 5),  # a multi-byte space counts as nothing
            ("(Ä,B));", 5),  # a multi-byte letter counts as one character
        ],
    )
    def test_stray_close_or_comma_reports_character_index(self, text, idx):
        with pytest.raises(ValueError) as ei:
            RF(text, OK)
        assert str(ei.value) == "Failed to parse tree1: " + diagnostic(idx)

    @pytest.mark.parametrize("text", ["(A,B)C", "(A,B):0.5"])
    def test_text_ending_inside_a_label_or_length_is_an_internal_failure(
        self, text, panic_exception
    ):
        with pytest.raises(panic_exception):
            RF(text, OK)


class TestLenientGrammar:
    @pytest.mark.parametrize(
        "variant",
        [
            "((A,B),(C,D))",  # no final ';'
            "((A,B),(C,D));((A,C),(B,D));",  # only the first tree is read
            " ( ( A , B ) ,\n( C , D ) ) ; ",
            "((A:1.5,B:x),(C:1e-3,D:-inf));",  # lengths, even unparsable ones, are ignored
            "((A,B)X,(C,D)Y);",  # internal labels are in no cluster
        ],
    )
    def test_variants_read_as_the_same_tree(self, variant):
        assert RF(variant, OK)["rf_distance"] == 0

    def test_text_before_an_open_parenthesis_prefixes_the_next_label(self):
        # "(A(B,C));" labels the first finished node "AB".
        assert RFN("(A(B,C));", "(AB,C);")["tree1_leaves"] == 2

    def test_internal_labels_are_counted_in_taxa(self):
        result = RFN("((A,B)X,(C,D))R;", OK)
        assert (result["tree1_leaves"], result["tree2_leaves"]) == (6, 4)

    def test_duplicate_labels_are_one_taxon(self):
        assert RFN("(A,A);", "(A,B);")["tree1_leaves"] == 1


class TestDeepNesting:
    """The reader and every walk are iterative: depth is limited by memory, not the C stack."""

    DEPTH = 1_000_000

    def test_deep_chain_of_unary_nodes(self):
        text = "(" * self.DEPTH + "A" + ")" * self.DEPTH + ";"
        assert RF(text, "A;")["rf_distance"] == 0

    def test_deep_caterpillar(self):
        # Labels repeat so that the clusters stay one word wide: depth is what is tested here.
        text = "(A," * self.DEPTH + "B" + ")" * self.DEPTH + ";"
        assert RF(text, text)["rf_distance"] == 0
        # Every inner node has the cluster {A, B}, a split "(A,B);" lacks.
        assert RF(text, "(A,B);")["rf_distance"] == 1

    def test_unbalanced_open_parentheses(self, panic_exception):
        # The nodes are never attached; the empty root is an unlabelled leaf.
        with pytest.raises(panic_exception):
            RF("(" * self.DEPTH, OK)
