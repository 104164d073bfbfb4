"""The stubs match the built modules, and quorlin_track type-checks strictly."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

# Type checks read the sources and the modules' surface, which the instrumented build shares with
# the regular one: they run once, in the regular suite.
pytestmark = pytest.mark.skipif(bool(os.environ.get("QUORLIN_TEST_SANITIZED")),
                                reason="type checks run once, in the regular suite")


def run_tool(*args):
    done = subprocess.run([sys.executable, "-m", *args],
                          capture_output=True, text=True, timeout=600, cwd=ROOT)
    return done.returncode, done.stdout + done.stderr


def test_stubs_match_the_runtime_modules():
    status, report = run_tool("mypy.stubtest", "quorlin", "quorlin_track._native")
    assert status == 0, report


def test_quorlin_track_passes_strict_type_checking():
    status, report = run_tool("mypy", "--strict", "--cache-dir", "build/mypy-cache",
                              "python/quorlin_track")
    assert status == 0, report
