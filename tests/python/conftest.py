"""Fixtures shared by the whole suite."""

from __future__ import annotations

import pytest

import veltrane


@pytest.fixture(scope="session")
def panic_exception() -> type[BaseException]:
    """The PanicException type, which the module does not export: caught from a real failure."""
    try:
        veltrane.robinson_foulds_distance("(A,);", "(A,B);")
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("an unlabelled leaf should have raised PanicException")


@pytest.fixture
def caterpillar5_newick() -> str:
    return "(A,(B,(C,(D,E))));"


@pytest.fixture
def balanced4_newick() -> str:
    return "((A,B),(C,D));"
