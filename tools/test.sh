#!/usr/bin/env bash
# The project's test run, from a fresh checkout or an existing one:
#
#   tools/test.sh [pytest arguments...]
#
# 1. makes .venv with python3.11 if there is none, and installs the package with its test
#    dependencies into it ('.[test,bench]': the extension is built by pip);
# 2. runs the whole suite with the venv's pytest, so the installed package is what is
#    tested (the source tree is not on sys.path), real servers included;
#    2b. runs the benchmarks in their quick mode, so that they cannot rot;
# 3. builds the extension again with AddressSanitizer and UBSan and runs the unit tests
#    (-m "not integration") against that build, with the sanitizer runtimes preloaded.
#
# Exits non-zero when the installation fails or either run fails.  Environment:
#   PYTHON                    the interpreter that makes .venv (default python3.11)
#   QUORVEX_TEST_SERVERS      servers for the integration tests (default moto,seaweedfs)
#   QUORVEX_SKIP_SANITIZERS=1 leaves out step 3
#   QUORVEX_SKIP_BENCH=1      leaves out the quick benchmark run (step 2b)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
VENV=$ROOT/.venv
PYTHON=${PYTHON:-python3.11}

say() { printf '\n=== %s\n' "$*"; }

# -- 1. the environment -------------------------------------------------------------------
if [ ! -x "$VENV/bin/python" ]; then
    say "creating $VENV with $PYTHON"
    "$PYTHON" -m venv "$VENV"
fi
if ! "$VENV/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))'; then
    echo "error: $VENV is not a Python 3.11 environment; remove it and run again" >&2
    exit 1
fi
export PATH="$VENV/bin:$PATH"

say "installing the package and its test dependencies"
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check '.[test,bench]'
# The sanitizer build below is driven by CMake directly; bring a build tool (and CMake,
# when the machine's is missing or older than the project needs) into the venv.
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check ninja
cmake_ok=0
if cmake_version=$(cmake --version 2>/dev/null | head -n 1); then
    cmake_ok=$("$VENV/bin/python" -c 'import re, sys
m = re.search(r"(\d+)\.(\d+)", sys.argv[1])
print(int(bool(m) and (int(m[1]), int(m[2])) >= (3, 21)))' "$cmake_version")
fi
if [ "$cmake_ok" != 1 ]; then
    "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check 'cmake>=3.21'
fi

status=0

# -- 2. the installed package, real servers included --------------------------------------
say "pytest against the installed package"
"$VENV/bin/pytest" "$@" || status=$?
if [ "$status" -ne 0 ]; then
    echo "error: the test run failed (pytest exit status $status)" >&2
fi

# -- 2b. the benchmarks, quick mode: they must keep running ------------------------------
if [ "${QUORVEX_SKIP_BENCH:-0}" != 1 ]; then
    say "benchmarks, quick mode (figures are not judged here)"
    bench_status=0
    mkdir -p "$ROOT/build"
    "$VENV/bin/python" bench/run.py --quick --json "$ROOT/build/bench-quick.json" \
        || bench_status=$?
    if [ "$bench_status" -ne 0 ]; then
        echo "error: the quick benchmark run failed (exit status $bench_status)" >&2
        status=$bench_status
    fi
fi

# -- 3. AddressSanitizer + UBSan, unit tests ----------------------------------------------
if [ "${QUORVEX_SKIP_SANITIZERS:-0}" = 1 ]; then
    say "sanitizer run left out (QUORVEX_SKIP_SANITIZERS=1)"
    exit "$status"
fi

say "building the extension with AddressSanitizer and UBSan"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ \
    -DPATH_SANITIZE=ON -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
cmake --build build-asan

sanitized=$(find build-asan -maxdepth 1 -name 'path.cpython-311*.so' -print -quit)
if [ -z "$sanitized" ] || ! readelf -d "$sanitized" | grep -q 'libasan'; then
    echo "error: no sanitizer-built extension found in build-asan" >&2
    exit 1
fi

# The installed package, copied, with the sanitizer build in place of its extension; put
# first on the import path, it shadows the installed copy (quorvex and quorvex.minio are
# namespace packages, and the first portion that has the module wins).
site=$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
shadow=$ROOT/build-asan/site
rm -rf "$shadow"
mkdir -p "$shadow"
cp -R "$site/quorvex" "$shadow/quorvex"
find "$shadow/quorvex" -name '__pycache__' -prune -exec rm -rf {} +
if [ -z "$(find "$shadow/quorvex/minio" -maxdepth 1 -name 'path.*.so' -print)" ]; then
    echo "error: the installed package has no extension in $site/quorvex/minio" >&2
    exit 1
fi
find "$shadow/quorvex/minio" -maxdepth 1 -name 'path.*.so' -delete
cp "$sanitized" "$shadow/quorvex/minio/"

libasan=$(g++ -print-file-name=libasan.so)
libubsan=$(g++ -print-file-name=libubsan.so)
for lib in "$libasan" "$libubsan"; do
    if [ ! -e "$lib" ]; then
        echo "error: the sanitizer runtime $lib is missing (g++ -print-file-name)" >&2
        exit 1
    fi
done

# pycryptodome (which minio imports) opens its helpers with RTLD_DEEPBIND, which the
# sanitizer runtime refuses; it has a switch for exactly this.
run_sanitized() {
    PYTHONPATH="$shadow" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
    UBSAN_OPTIONS=print_stacktrace=1 PYCRYPTODOME_DISABLE_DEEPBIND=1 \
    LD_PRELOAD="$libasan $libubsan" "$@"
}

loaded=$(run_sanitized "$VENV/bin/python" -c \
    'import quorvex.minio.path as m; print(m.__file__)')
case $loaded in
    "$shadow"/*) ;;
    *) echo "error: the sanitizer run would import $loaded, not the build in $shadow" >&2
       exit 1 ;;
esac

say "pytest (unit tests) against the sanitizer build: $loaded"
asan_status=0
run_sanitized "$VENV/bin/pytest" -m "not integration" -p no:cacheprovider || asan_status=$?
if [ "$asan_status" -ne 0 ]; then
    echo "error: the sanitizer run failed (pytest exit status $asan_status)" >&2
    status=$asan_status
fi
exit "$status"
