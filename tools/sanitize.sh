#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer in build/sanitize and
# runs the whole pytest suite against that build. Any sanitizer report, in the test process or in a
# child process it started, fails the run.
#
#   PY=.venv/bin/python tools/sanitize.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PY:-.venv/bin/python}
BUILD=${SANITIZE_BUILD_DIR:-build/sanitize}
if [ ! -x "$PY" ]; then
  echo "sanitize: no python interpreter at '$PY' (set PY)" >&2
  exit 2
fi
PY=$(cd "$(dirname "$PY")" && pwd)/$(basename "$PY")

# cmake and ninja: the interpreter's environment first, then PATH.
tool() {
  local bindir
  bindir=$(dirname "$PY")
  if [ -x "$bindir/$1" ]; then echo "$bindir/$1"; elif command -v "$1" >/dev/null; then command -v "$1"; else
    echo "sanitize: '$1' not found next to $PY nor on PATH" >&2
    exit 2
  fi
}
CMAKE=$(tool cmake)
NINJA=$(tool ninja)

# Beyond the CMake option's address,undefined: float-to-integer conversions of NaN, infinities and
# out-of-range values (not part of GCC's "undefined" group), and the standard library's own checks
# of container indexing.
EXTRA_FLAGS="-fsanitize=float-cast-overflow -fno-sanitize-recover=float-cast-overflow -D_GLIBCXX_ASSERTIONS"
mkdir -p "$(dirname "$BUILD")"
"$CMAKE" -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DCMAKE_CXX_FLAGS="$EXTRA_FLAGS" \
  -DQUORLIN_SANITIZE=ON -DQUORLIN_CPP_TESTS=ON -DPython_EXECUTABLE="$PY" >"$BUILD.configure.log" 2>&1 ||
  { cat "$BUILD.configure.log" >&2; exit 1; }
"$CMAKE" --build "$BUILD" -j "$(nproc)"
# The C++ tests and drivers too, instrumented like the extensions; the suite runs them from here.
"$CMAKE" --build "$BUILD" -j "$(nproc)" --target cpp_tests
BUILD=$(cd "$BUILD" && pwd)
export QUORLIN_CPP_BUILD="$BUILD"
# The build tree stands in for the installed packages: quorlin_track's Python files beside its
# instrumented extension. Links left from an earlier build to files since removed or renamed go
# first: the package would list them as modules that cannot be imported.
find "$BUILD/quorlin_track" -maxdepth 1 -type l -delete
for f in python/quorlin_track/*; do ln -sfn "$PWD/$f" "$BUILD/quorlin_track/${f##*/}"; done

# The interpreter itself is not instrumented, so the runtime must be loaded first. The C++
# runtime is preloaded too: ASan resolves its interceptor of __cxa_throw when it starts, and the
# interpreter does not load libstdc++ before the extension is imported.
CXX=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
ASAN_LIB=$("$CXX" -print-file-name=libasan.so)
CXX_LIB=$(readlink -f "$("$CXX" -print-file-name=libstdc++.so)")
for lib in "$ASAN_LIB" "$CXX_LIB"; do
  if [ ! -e "$lib" ]; then
    echo "sanitize: $lib not found by $CXX" >&2
    exit 2
  fi
done
PRELOAD="$ASAN_LIB:$CXX_LIB"

REPORTS="$BUILD/reports"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
REPORTS=$(cd "$REPORTS" && pwd)

# detect_leaks=0: CPython does not free everything at exit. Failed allocations abort under ASan
# (operator new never throws there), so the tests that provoke MemoryError skip themselves when
# QUORLIN_TEST_SANITIZED is set, as do those that measure RSS.
export QUORLIN_TEST_SANITIZED=1
export PYTHONPATH="$BUILD${PYTHONPATH:+:$PYTHONPATH}"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:allocator_may_return_null=1:strict_init_order=1:detect_stack_use_after_return=1:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan"

for module in quorlin quorlin_track._native; do
  where=$(LD_PRELOAD="$PRELOAD" "$PY" -c "import $module; print($module.__file__)")
  case "$where" in
    "$BUILD"/*) ;;
    *) echo "sanitize: imported $module from $where, not from $BUILD" >&2; exit 1 ;;
  esac
done

status=0
# --capture=sys: a report written to file descriptor 2 by a dying process stays visible (UBSan
# reports to stderr whatever log_path says when it runs beside ASan).
LD_PRELOAD="$PRELOAD" "$PY" -m pytest -q -p no:cacheprovider --capture=sys "$@" || status=$?

if compgen -G "$REPORTS/*" >/dev/null; then
  echo "sanitize: sanitizer reports:" >&2
  for f in "$REPORTS"/*; do
    echo "== $f" >&2
    cat "$f" >&2
  done
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "sanitize: the test suite failed under the sanitizers (status $status)" >&2
fi
exit "$status"
