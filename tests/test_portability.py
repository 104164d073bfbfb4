"""The C++ builds for the platforms microscopists use: every core file compiles for ARM Linux, ARM
macOS and x86-64 Windows, and both extensions compile for ARM Linux against this environment's
Python, NumPy and pybind11 headers. The compiler is Zig's clang driver from PyPI (ziglang, part
of the test dependencies), which carries the C and C++ libraries of every target.

A file that compiled leaves a mark under build/, named by the hash of everything that went into it
(target, flags, source, every header of src/ and the Zig version), so `make test`'s second run,
and any run after an unchanged tree, compiles nothing again."""

import hashlib
import importlib.metadata
import os
import pathlib
import subprocess
import sys
import sysconfig
from concurrent.futures import ThreadPoolExecutor

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "cross-compiled"
# -O0: the check is whether the code compiles for the target; optimizing adds minutes and finds
# no error that clang's front end would not.
FLAGS = ["-std=c++20", "-O0", "-ffp-contract=off"]
CORE_TARGETS = ["aarch64-linux-gnu", "aarch64-macos", "x86_64-windows-gnu"]


def _zig():
    return [sys.executable, "-m", "ziglang"]


def _headers_digest():
    digest = hashlib.sha256(importlib.metadata.version("ziglang").encode())
    for header in sorted((ROOT / "src").rglob("*.h")):
        digest.update(str(header.relative_to(ROOT)).encode())
        digest.update(header.read_bytes())
    return digest.hexdigest()


def _compile(target, includes, source, headers):
    """None when source compiles for target (now or in an earlier run), else the compiler's output."""
    args = [*FLAGS, "-target", target, *(f"-I{i}" for i in includes)]
    key = hashlib.sha256("\0".join([*args, headers, str(source.relative_to(ROOT))]).encode())
    key.update(source.read_bytes())
    mark = CACHE / target / f"{source.stem}-{key.hexdigest()[:24]}"
    if mark.exists():
        return None
    mark.parent.mkdir(parents=True, exist_ok=True)
    obj = mark.with_name(f"{mark.name}.{os.getpid()}.o")
    run = subprocess.run([*_zig(), "c++", *args, "-c", "-o", str(obj), str(source)],
                         capture_output=True, text=True)
    obj.unlink(missing_ok=True)
    if run.returncode != 0:
        return f"{source.relative_to(ROOT)} for {target}:\n{run.stdout}{run.stderr}"
    mark.touch()
    return None


def _compile_all(target, includes, sources):
    headers = _headers_digest()
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        failures = pool.map(lambda s: _compile(target, includes, s, headers), sources)
    return [f for f in failures if f is not None]


def _tbb_include():
    include = pathlib.Path(sys.prefix) / "include"
    assert (include / "tbb" / "parallel_for.h").exists(), f"no oneTBB headers (tbb-devel) in {include}"
    return include


@pytest.mark.parametrize("target", CORE_TARGETS)
def test_core_compiles_for(target):
    sources = sorted((ROOT / "src/core").rglob("*.cpp"))
    failures = _compile_all(target, [ROOT / "src/core", _tbb_include()], sources)
    assert not failures, "\n".join(failures)


def test_extensions_compile_for_arm_linux():
    import numpy
    import pybind11

    folders = [ROOT / "src/errors", ROOT / "src/module", ROOT / "src/track"]
    includes = [ROOT / "src/core", *folders, _tbb_include(), sysconfig.get_paths()["include"],
                numpy.get_include(), pybind11.get_include()]
    sources = sorted(source for folder in folders for source in folder.glob("*.cpp"))
    failures = _compile_all("aarch64-linux-gnu", includes, sources)
    assert not failures, "\n".join(failures)
