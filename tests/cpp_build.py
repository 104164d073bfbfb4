"""The C++ tests and drivers of tests/cpp, built by CMake (target cpp_tests) in a build tree of
this project, so they get the compiler (CXX), flags and oneTBB of a real build.

The tree is, in order: the one named by QUORLIN_CPP_BUILD (tools/sanitize.sh names its own, so the
drivers carry the sanitizers); else a tree that pip configured with QUORLIN_CPP_TESTS (`make`
does), whose compiled core is reused; else build/cpp-tests, configured here like a release build.
A missing compiler or a failed build fails the tests that need it."""

import functools
import os
import pathlib
import re
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def _tool(name):
    """cmake, ctest or ninja: beside this interpreter first, then on PATH."""
    beside = pathlib.Path(sys.executable).parent / name
    found = str(beside) if beside.exists() else shutil.which(name)
    assert found, f"{name} not found beside {sys.executable} nor on PATH"
    return found


def _configured_release_tree():
    """A build tree of this source configured with the C++ tests and without sanitizers, or None."""
    for cache in sorted((ROOT / "build").glob("*/CMakeCache.txt"), key=lambda p: p.stat().st_mtime,
                        reverse=True):
        text = cache.read_text(errors="replace")
        home = re.search(r"^CMAKE_HOME_DIRECTORY:INTERNAL=(.*)$", text, re.M)
        if (home and pathlib.Path(home.group(1)).resolve() == ROOT
                and re.search(r"^QUORLIN_CPP_TESTS:BOOL=ON$", text, re.M)
                and not re.search(r"^QUORLIN_SANITIZE:BOOL=ON$", text, re.M)):
            return cache.parent
    return None


def _tool_env():
    """The environment for the build tools: without the sanitizer runtime that the sanitized
    suite preloads into its own processes."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def _run(command, what):
    run = subprocess.run(command, capture_output=True, text=True, env=_tool_env())
    assert run.returncode == 0, f"{what} failed:\n{run.stdout}{run.stderr}"


@functools.cache
def build_dir():
    """The build tree with the C++ tests built (and brought up to date) in it."""
    named = os.environ.get("QUORLIN_CPP_BUILD")
    tree = pathlib.Path(named) if named else _configured_release_tree()
    if tree is None:
        tree = ROOT / "build" / "cpp-tests"
        _run([_tool("cmake"), "-S", str(ROOT), "-B", str(tree), "-G", "Ninja",
              f"-DCMAKE_MAKE_PROGRAM={_tool('ninja')}", "-DCMAKE_BUILD_TYPE=Release",
              "-DQUORLIN_WERROR=ON", "-DQUORLIN_CPP_TESTS=ON", f"-DPython_EXECUTABLE={sys.executable}"],
             "configuring the C++ tests")
    _run([_tool("cmake"), "--build", str(tree), "--target", "cpp_tests"], "building the C++ tests")
    return tree


def driver(name):
    """The path of the built driver tests/cpp/<name>.cpp."""
    return build_dir() / "cpp-tests" / name


def run_driver(exe, text):
    return subprocess.run([str(exe)], input=text, capture_output=True, text=True, check=True).stdout


def ctest(name):
    """Runs one CTest test of the tree; returns (passed, output)."""
    run = subprocess.run([_tool("ctest"), "--test-dir", str(build_dir()), "-R", f"^{name}$",
                          "--output-on-failure", "--timeout", "300"], capture_output=True, text=True,
                         env=_tool_env())
    return run.returncode == 0 and "No tests were found" not in run.stdout, run.stdout + run.stderr
