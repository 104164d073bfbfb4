"""The wheel: built from this tree, installed into a fresh environment elsewhere with only its
declared dependencies, it loads oneTBB from that environment and nothing else outside the C and C++
runtime."""

import os
import subprocess
import sys
import tomllib
import venv
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

# The C and C++ runtime of the system, which a wheel may rely on.
SYSTEM_RUNTIME = ("linux-vdso", "ld-linux", "libc.so", "libm.so", "libstdc++.so", "libgcc_s.so",
                  "libpthread.so", "libdl.so", "librt.so")

IN_FRESH_ENV = """
import numpy as np
import quorlin
import quorlin_track as qt
frame = np.zeros((9, 9), np.float32)
frame[4, 4] = 5.0
with qt.threads(1):
    positions, intensities = quorlin.rs_detect_peaks(frame, (0.0, 8.0, 0.0, 8.0), 1.0, 1.0,
                                                     None, None, None)
print(qt.__version__, quorlin.__file__, qt._native.__file__, positions.tolist(), intensities.tolist())
print(*{line.split()[-1] for line in open("/proc/self/maps") if "/libtbb.so" in line})
"""


def resolved_libraries(extension):
    """(name, path) of every library ldd resolves for an extension; fails on one not found."""
    lines = subprocess.run(["ldd", str(extension)], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    assert not [line for line in lines if "not found" in line], lines
    return [(line.split()[0], line.split("=>")[1].split("(")[0].strip() if "=>" in line else "")
            for line in lines]


@pytest.mark.skipif(bool(os.environ.get("QUORLIN_TEST_SANITIZED")),
                    reason="packages the regular build; runs once, in the regular suite")
def test_wheel_runs_in_a_fresh_environment_on_its_declared_dependencies(tmp_path):
    pytest.importorskip("scikit_build_core", reason="builds with this environment's tools")
    # --no-build-isolation reuses this environment's build tools and the configured build tree,
    # so only what changed is compiled; the isolated build works the same way from scratch.
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation",
                    "--no-deps", "-w", str(tmp_path / "dist"), str(ROOT)],
                   check=True, capture_output=True, text=True)
    (wheel,) = (tmp_path / "dist").glob("quorlin-*.whl")
    version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    with zipfile.ZipFile(wheel) as archive:
        metadata = archive.read(f"quorlin-{version}.dist-info/METADATA").decode()
        assert f"quorlin-{version}.dist-info/licenses/LICENSE" in archive.namelist()
    for field in ("License-Expression: BSD-3-Clause", "Requires-Python: >=3.10",
                  "Classifier: Operating System :: MacOS"):
        assert field in metadata.splitlines()
    env_dir = tmp_path / "fresh"
    venv.create(env_dir)
    python = env_dir / "bin" / "python"
    # This environment's pip installs into the fresh one (which then needs no pip of its own).
    subprocess.run([sys.executable, "-m", "pip", "--python", str(python), "install", "-q",
                    str(wheel)], check=True, capture_output=True, text=True)

    done = subprocess.run([python, "-c", IN_FRESH_ENV], cwd=tmp_path, capture_output=True,
                          text=True, env={k: v for k, v in os.environ.items()
                                          if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")})
    assert done.returncode == 0, done.stderr
    modules, tbb = done.stdout.splitlines()
    installed_version, quorlin_file, native_file, found = modules.split(" ", 3)
    assert installed_version == version
    assert found == "[[4.0, 4.0]] [5.0]"
    env_lib = (env_dir / "lib").resolve()
    assert Path(tbb).resolve().parent == env_lib
    for extension in (quorlin_file, native_file):
        assert Path(extension).resolve().is_relative_to(env_dir.resolve())
        for name, path in resolved_libraries(extension):
            if name.startswith("libtbb"):
                assert Path(path).resolve().parent == env_lib, (name, path)
            else:
                assert Path(name).name.startswith(SYSTEM_RUNTIME), (extension, name, path)
