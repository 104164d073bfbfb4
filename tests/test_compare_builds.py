"""tools/compare_builds.py: a recording covers all ten functions and every kernel of
quorlin_track._native and compares equal to itself; a changed, retyped or missing entry is listed
and fails the comparison."""

import subprocess
import sys
from pathlib import Path

import numpy as np

from reliability_support import FUNCTION_NAMES

TOOL = Path(__file__).resolve().parents[1] / "tools" / "compare_builds.py"
#: What quorlin_track._native computes (the rest of it sets and tells the thread limit and the
#: memory available).
NATIVE_KERNELS = {"background", "bandpass", "detect_frames", "detect_spot_frames", "displacement_sums",
                  "independent_displacements", "link_particles", "measure_volume_spots", "refine_spots",
                  "sum_independent_displacements", "track_geometry"}


def run(*args):
    return subprocess.run([sys.executable, str(TOOL), *args], capture_output=True, text=True,
                          timeout=600)


def test_record_then_compare(tmp_path):
    a = tmp_path / "a.npz"
    assert run("record", str(a)).returncode == 0
    recorded = dict(np.load(a))
    calls = {key.rsplit("/", 1)[0] for key in recorded}
    sys.path.insert(0, str(TOOL.parent))
    import compare_builds

    raw = [name for _, name, _ in compare_builds.corpus()]
    native = [name for _, name, _, _ in compare_builds.native_corpus()]
    assert set(raw) == set(FUNCTION_NAMES)
    assert set(native) == NATIVE_KERNELS
    assert len(calls) == len(raw) + len(native)
    same = run("compare", str(a), str(a))
    assert same.returncode == 0 and same.stdout.endswith(" 0 differing\n"), same.stdout

    keys = sorted(k for k in recorded if recorded[k].dtype == np.float32 and recorded[k].size)
    changed, retyped, dropped = keys[0], keys[1], keys[2]
    flipped = recorded[changed].copy()
    flipped.view(np.uint8).flat[0] ^= 1  # one bit of one value
    recorded[changed] = flipped
    recorded[retyped] = recorded[retyped].astype(np.float64)
    del recorded[dropped]
    b = tmp_path / "b.npz"
    np.savez(b, **recorded)
    differ = run("compare", str(a), str(b))
    assert differ.returncode == 1
    listed = [line.removeprefix("differs: ") for line in differ.stdout.splitlines()[:-1]]
    assert sorted(listed) == sorted([changed, retyped, dropped])
