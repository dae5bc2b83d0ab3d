"""PanicException is veltrane_tools.PanicException: it pickles, so a failure in a worker
process reaches the parent with its type and message."""

from __future__ import annotations

import multiprocessing
import pickle
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor

import pytest

import veltrane
import veltrane_tools as vt

UNLABELLED = ("(A,);", "(A,B);")
MESSAGE = "Robinson-Foulds distance needs a label on every leaf; node 2 has none"


def rf(pair):
    return veltrane.robinson_foulds_distance(*pair)


def test_the_raised_type_is_published_in_veltrane_tools_only(panic_exception):
    assert vt.PanicException is panic_exception
    assert (vt.PanicException.__module__, vt.PanicException.__qualname__) == (
        "veltrane_tools", "PanicException")
    assert not hasattr(veltrane, "PanicException") and len(veltrane.__all__) == 12
    with pytest.raises(vt.PanicException) as info:
        rf(UNLABELLED)
    copy = pickle.loads(pickle.dumps(info.value))
    assert type(copy) is vt.PanicException and str(copy) == MESSAGE


def test_a_worker_process_failure_arrives_with_its_type_and_message():
    spawn = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(1, mp_context=spawn) as pool, pytest.raises(vt.PanicException) as info:
        pool.submit(rf, UNLABELLED).result()
    assert str(info.value) == MESSAGE


def test_pickle_finds_the_type_when_only_veltrane_was_imported():
    code = (
        "import pickle, sys, veltrane\n"
        "try:\n    veltrane.robinson_foulds_distance('(A,);', '(A,B);')\n"
        "except BaseException as exc:\n    sys.stdout.buffer.write(pickle.dumps(exc))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, check=True).stdout
    exc = pickle.loads(out)
    assert type(exc) is vt.PanicException and str(exc) == MESSAGE
