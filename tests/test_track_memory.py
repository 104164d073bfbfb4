"""quorlin_track under an address-space limit, as cluster jobs run (ulimit -v): requests beyond it
raise MemoryError, never end the process by a signal or an abort, and leave it usable. Each case
asks for more than the limit leaves, but less than the machine's available memory, so that the
allocation itself fails rather than an up-front check."""

import json

import pytest
from reliability_support import SANITIZED

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="under AddressSanitizer a failed allocation aborts instead of raising")

CHILD = """
import json, resource
import numpy as np, pandas as pd
import quorlin_track as qt

def vm_size():
    return next(int(line.split()[1]) * 1024 for line in open("/proc/self/status")
                if line.startswith("VmSize:"))

small = pd.DataFrame({"frame": [0, 1, 2], "y": [1.0, 1.2, 1.1], "x": [2.0, 2.1, 2.3]})
dot = np.pad(np.full((2, 1, 1), 50, np.uint16), ((0, 0), (5, 5), (5, 5)))
def usable():
    return (qt.link(small, 1.0)["particle"].tolist() == [0, 0, 0]
            and len(qt.batch(dot, detector="peaks", threshold=10, method=None, progress=False)) == 2)

rng = np.random.default_rng(0)
n = 20_000  # two frames of points all within reach: 4e8 feasible pairs, 14 GB of candidates
blob = pd.DataFrame({"frame": np.repeat([0, 1], n), "y": rng.uniform(0, 1, 2 * n),
                     "x": rng.uniform(0, 1, 2 * n)})
first = np.arange(3000) % 5  # 3000 tracks of 10**5 frames: a table of 2.2 GB
long_tracks = pd.DataFrame({"frame": np.concatenate([first, first + 10**5]), "y": 0.0,
                            "x": rng.normal(size=6000), "particle": np.tile(np.arange(3000), 2)})
wide = pd.DataFrame({"frame": [0, 1], "y": [0.0, 2e4], "x": [0.0, 2e4], "intensity": 1.0,
                     "particle": [0, 0]})
cases = {
    "batch": lambda: qt.batch(np.broadcast_to(np.float32(5), (2, 30000, 30000)), progress=False),
    "link": lambda: qt.link(blob, 3.0),
    "imsd": lambda: qt.imsd(long_tracks, 0.1, 10.0, max_lagtime=10**5),
    "render": lambda: qt.render(wide, pixel_size=1.0),
    "refine": lambda: qt.refine(np.broadcast_to(np.array(5, ">f4"), (40000, 40000)),
                                pd.DataFrame({"y": [5.0], "x": [5.0]})),
}
assert usable()
limit = vm_size() + (1 << 30)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
out = {}
for name, call in cases.items():
    errors = []
    for _ in range(2):
        try:
            call()
            errors.append("no error")
        except BaseException as error:
            errors.append(type(error).__name__)
    out[name] = errors
out["usable"] = usable()
print(json.dumps(out))
"""


def test_requests_beyond_an_address_space_limit_raise_memory_error(python_subprocess):
    done = python_subprocess(CHILD, timeout=600)
    assert done.returncode == 0, done.stderr
    outcomes = json.loads(done.stdout.splitlines()[-1])
    assert outcomes.pop("usable") is True
    assert outcomes == {name: ["MemoryError"] * 2
                        for name in ("batch", "link", "imsd", "render", "refine")}
