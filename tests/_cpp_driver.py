"""Builds the small C++ test drivers of tests/cpp with g++.

Each source is compiled to its own object, the objects in parallel, and kept under build/ by the
hash of everything that goes into it (compiler, flags, the source, and every header of the core),
so a driver is compiled once per change of the code rather than once per test run: `make test`
runs the suite twice, on the regular and on the sanitizer build.
"""

import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "test-drivers"


def _flags():
    # oneTBB comes from the environment's tbb-devel and tbb packages, as for the extensions.
    env = pathlib.Path(sys.prefix)
    return (["-O2", "-std=c++20", "-ffp-contract=off", f"-I{ROOT / 'src/core'}", f"-I{env / 'include'}"],
            [f"-L{env / 'lib'}", f"-Wl,-rpath,{env / 'lib'}", "-ltbb"])


def _headers_digest():
    digest = hashlib.sha256()
    for header in sorted((ROOT / "src/core").rglob("*.h")):
        digest.update(str(header.relative_to(ROOT)).encode())
        digest.update(header.read_bytes())
    return digest.hexdigest()


def _object(compiler, compile_flags, headers, source):
    """The object file of one source, compiled unless an identical one is cached."""
    key = hashlib.sha256("\0".join([compiler, *compile_flags, headers, str(source)]).encode())
    key.update(source.read_bytes())
    obj = CACHE / "objects" / f"{source.stem}-{key.hexdigest()[:24]}.o"
    if not obj.exists():
        obj.parent.mkdir(parents=True, exist_ok=True)
        partial = obj.with_name(f"{obj.name}.{os.getpid()}.tmp")
        subprocess.run([compiler, *compile_flags, "-c", "-o", str(partial), str(source)], check=True)
        partial.replace(obj)  # atomic: a concurrent run sees the whole object or none
    return obj


def build_driver(tmp_dir, driver, *sources):
    """Compiles tests/cpp/<driver>.cpp with the given core sources (reusing cached objects) and
    links it into tmp_dir; skips when there is no g++."""
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("no g++ to build the C++ test driver")
    compile_flags, link_flags = _flags()
    headers = _headers_digest()
    paths = [ROOT / "tests/cpp" / f"{driver}.cpp", *(ROOT / s for s in sources)]
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        objects = list(pool.map(lambda s: _object(compiler, compile_flags, headers, s), paths))
    exe = pathlib.Path(tmp_dir) / driver
    subprocess.run([compiler, "-o", str(exe), *map(str, objects), *link_flags], check=True)
    return exe


def run_driver(exe, text):
    return subprocess.run([str(exe)], input=text, capture_output=True, text=True, check=True).stdout
