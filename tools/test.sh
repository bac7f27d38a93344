#!/usr/bin/env bash
# The project's test run, from a fresh checkout or an existing one:
#
#   tools/test.sh [pytest arguments...]
#
# 1. installs the system libraries the build links when they are missing
#    (tools/builddeps.sh: libcurl and OpenSSL's headers, with apt-get as root); makes .venv
#    if there is none (with python3.11 when there is one, else python3; any of
#    the supported 3.11, 3.12 and 3.13 will do), and installs the package with its test
#    dependencies into it ('.[test,bench]': pip builds both extensions);
# 2. runs the whole suite with the venv's pytest, so the installed package is what is
#    tested (the source tree is not on sys.path), real servers included;
#    2b. runs the benchmarks in their quick mode, so that they cannot rot;
#    2c. checks the type stubs against both extensions (stubtest), and the installed package
#    (mypy --strict -p quorvex) and the example with mypy --strict;
#    2d. lints the C++ sources: the clang-format check and clang-tidy (tools/lint.sh);
# 3. builds both extensions again with AddressSanitizer and UBSan and runs the unit tests
#    (-m "not integration") against those builds, with the sanitizer runtimes preloaded,
#    then the engine's integration tests (tests/test_engine.py) on moto;
# 4. for each other supported version whose interpreter is on the machine (tools/pythons.sh
#    says where it looks; a missing one is reported, not failed): makes .venv-3.X, installs
#    the package there, and runs the unit tests and the moto integration tests, step 2c and
#    the quick benchmarks;
# 5. builds a manylinux wheel per interpreter and checks that each installs into a fresh
#    venv and imports (tools/wheels.sh).
#
# Exits non-zero when an installation fails or any run fails.  Environment:
#   PYTHON                    the interpreter that makes .venv (default: see step 1)
#   QUORVEX_TEST_SERVERS      servers for the integration tests (default moto,seaweedfs)
#   QUORVEX_SKIP_SANITIZERS=1 leaves out step 3
#   QUORVEX_SKIP_BENCH=1      leaves out the quick benchmark runs (steps 2b and 4)
#   QUORVEX_SKIP_LINT=1       leaves out step 2d
#   QUORVEX_SKIP_VERSIONS=1   leaves out step 4
#   QUORVEX_SKIP_WHEELS=1     leaves out step 5
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
VENV=$ROOT/.venv
# shellcheck source=tools/pythons.sh
source "$ROOT/tools/pythons.sh"
PYTHON=$(default_python)
PATH_BEFORE=$PATH

say() { printf '\n=== %s\n' "$*"; }

# The time each leg of the run takes, printed at the end.
leg_name="" leg_start=0 legs=()
leg() {
    [ -z "$leg_name" ] || legs+=("$(printf '%6d s  %s' $((SECONDS - leg_start)) "$leg_name")")
    leg_name=$1 leg_start=$SECONDS
}

# -- 1. the environment -------------------------------------------------------------------
# The system libraries the engine links (libcurl, libcrypto) and their headers.
bash "$ROOT/tools/builddeps.sh"
if [ ! -x "$VENV/bin/python" ]; then
    python_wanted=$(supported_version "$PYTHON")
    say "creating $VENV with $PYTHON (Python $python_wanted)"
    "$PYTHON" -m venv "$VENV"
fi
if ! VENV_VERSION=$(supported_version "$VENV/bin/python"); then
    echo "error: $VENV is not an environment of a supported Python; remove it and run again" >&2
    exit 1
fi
export PATH="$VENV/bin:$PATH"

leg "Python $VENV_VERSION: installing into .venv"
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
leg "Python $VENV_VERSION: the whole suite"
say "pytest against the installed package"
"$VENV/bin/pytest" "$@" || status=$?
if [ "$status" -ne 0 ]; then
    echo "error: the test run failed (pytest exit status $status)" >&2
fi

# -- 2b. the benchmarks, quick mode: they must keep running ------------------------------
# quick_bench VENV NAME: the quick run with that venv's interpreter, figures in build/NAME.
quick_bench() {
    [ "${QUORVEX_SKIP_BENCH:-0}" != 1 ] || return 0
    say "benchmarks, quick mode, Python $(python_version "$1/bin/python")" \
        "(figures are not judged here)"
    local bench_status=0
    mkdir -p "$ROOT/build"
    "$1/bin/python" bench/run.py --quick --json "$ROOT/build/$2" || bench_status=$?
    if [ "$bench_status" -ne 0 ]; then
        echo "error: the quick benchmark run failed (exit status $bench_status)" >&2
        status=$bench_status
    fi
}
leg "Python $VENV_VERSION: quick benchmarks"
quick_bench "$VENV" bench-quick.json

# -- 2c. the stubs against the extensions, the example under mypy --strict -----------------
# Run from outside the checkout, so that the installed package is what is checked.
check_types() {
    say "stubtest of both extensions, mypy --strict -p quorvex and examples/," \
        "Python $(python_version "$1/bin/python")"
    local types_status=0
    (cd "$1" && "$1/bin/python" -m mypy.stubtest quorvex.minio.path quorvex._engine &&
        "$1/bin/python" -m mypy --strict --cache-dir "$1/.mypy_cache" -p quorvex &&
        "$1/bin/python" -m mypy --strict --cache-dir "$1/.mypy_cache" \
            "$ROOT"/examples/*.py) || types_status=$?
    if [ "$types_status" -ne 0 ]; then
        echo "error: a stub or the example failed the type checks (status $types_status)" >&2
        status=$types_status
    fi
}
leg "Python $VENV_VERSION: stubtest and mypy"
check_types "$VENV"

# -- 2d. lint of the C++ sources: the clang-format check and clang-tidy ---------------------
if [ "${QUORVEX_SKIP_LINT:-0}" = 1 ]; then
    say "lint left out (QUORVEX_SKIP_LINT=1)"
else
    leg "lint: clang-format and clang-tidy"
    say "lint of the C++ sources (tools/lint.sh)"
    lint_status=0
    bash tools/lint.sh || lint_status=$?
    if [ "$lint_status" -ne 0 ]; then
        echo "error: the lint found problems (exit status $lint_status)" >&2
        status=$lint_status
    fi
fi

# -- 3. AddressSanitizer + UBSan, unit tests ----------------------------------------------
sanitizer_run() {
    say "building both extensions with AddressSanitizer and UBSan"
    cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ \
        -DPATH_SANITIZE=ON -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
    cmake --build build-asan

    # The installed package, copied, with the sanitizer builds in place of its extensions;
    # put first on the import path, it shadows the installed copy (quorvex and quorvex.minio
    # are namespace packages, and the first portion that has the module wins).
    site=$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
    shadow=$ROOT/build-asan/site
    rm -rf "$shadow"
    mkdir -p "$shadow"
    cp -R "$site/quorvex" "$shadow/quorvex"
    find "$shadow/quorvex" -name '__pycache__' -prune -exec rm -rf {} +

    # Built for the venv's interpreter, so named with its suffix (path.cpython-3XX-...so).
    ext_suffix=$("$VENV/bin/python" -c \
        'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    local module folder sanitized
    for module in minio/path _engine; do
        folder=$shadow/quorvex/$(dirname "$module")
        module=$(basename "$module")
        sanitized=$(find build-asan -maxdepth 1 -name "$module$ext_suffix" -print -quit)
        if [ -z "$sanitized" ] || ! readelf -d "$sanitized" | grep -q 'libasan'; then
            echo "error: no sanitizer-built $module extension found in build-asan" >&2
            status=1
            return
        fi
        if [ -z "$(find "$folder" -maxdepth 1 -name "$module.*.so" -print)" ]; then
            echo "error: the installed package has no $module extension in ${folder#"$shadow"/}" >&2
            status=1
            return
        fi
        find "$folder" -maxdepth 1 -name "$module.*.so" -delete
        cp "$sanitized" "$folder/"
    done

    libasan=$(g++ -print-file-name=libasan.so)
    libubsan=$(g++ -print-file-name=libubsan.so)
    for lib in "$libasan" "$libubsan"; do
        if [ ! -e "$lib" ]; then
            echo "error: the sanitizer runtime $lib is missing (g++ -print-file-name)" >&2
            status=1
            return
        fi
    done

    # pycryptodome (which minio imports) opens its helpers with RTLD_DEEPBIND, which the
    # sanitizer runtime refuses; it has a switch for exactly this.
    run_sanitized() {
        PYTHONPATH="$shadow" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
        UBSAN_OPTIONS=print_stacktrace=1 PYCRYPTODOME_DISABLE_DEEPBIND=1 \
        LD_PRELOAD="$libasan $libubsan" "$@"
    }

    local loaded file
    loaded=$(run_sanitized "$VENV/bin/python" -c 'import quorvex.minio.path, quorvex._engine
print(quorvex.minio.path.__file__)
print(quorvex._engine.__file__)')
    while IFS= read -r file; do
        case $file in
            "$shadow"/*) ;;
            *) echo "error: the sanitizer run would import $file, not the build in $shadow" >&2
               status=1
               return ;;
        esac
    done <<<"$loaded"

    say "pytest (unit tests) against the sanitizer builds:" $loaded
    asan_status=0
    run_sanitized "$VENV/bin/pytest" -m "not integration" -p no:cacheprovider || asan_status=$?
    # The engine's own transfers need a server: its integration tests run too, on moto (a
    # thread of the sanitized process; SeaweedFS would be a child the preload reaches).
    if [ "$asan_status" -eq 0 ] && [ -f tests/test_engine.py ]; then
        say "pytest tests/test_engine.py (integration, moto) against the sanitizer builds"
        run_sanitized "$VENV/bin/pytest" tests/test_engine.py -m integration --servers=moto \
            -p no:cacheprovider || asan_status=$?
        # Exit status 5: the file has no integration test (all deselected).
        [ "$asan_status" -ne 5 ] || asan_status=0
    fi
    if [ "$asan_status" -ne 0 ]; then
        echo "error: the sanitizer run failed (pytest exit status $asan_status)" >&2
        status=$asan_status
    fi
}
if [ "${QUORVEX_SKIP_SANITIZERS:-0}" = 1 ]; then
    say "sanitizer run left out (QUORVEX_SKIP_SANITIZERS=1)"
else
    leg "Python $VENV_VERSION: sanitizer build and unit tests"
    sanitizer_run
fi

# -- 4. the other supported versions: unit and moto integration tests, types, benchmarks --
other_version() {
    local version=$1 python venv=$ROOT/.venv-$1 leg_status=0
    if ! python=$(find_python "$version"); then
        say "Python $version: not found on this machine (looked for python$version on PATH," \
            "under pyenv and in /usr); its tests are left out"
        return 0
    fi
    say "Python $version ($python): installing the package into $venv"
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    local pip=("$venv/bin/python" -m pip install --quiet --disable-pip-version-check)
    local bench=1
    if ! "${pip[@]}" '.[test,bench]'; then
        echo "note: the benchmark extra does not install on Python $version;" \
             "installing '.[test]' and leaving its quick benchmarks out"
        bench=0
        if ! "${pip[@]}" '.[test]'; then
            echo "error: the package does not install on Python $version" >&2
            status=1
            return 0
        fi
    fi
    say "Python $version: unit tests and moto integration tests"
    PATH="$venv/bin:$PATH_BEFORE" "$venv/bin/pytest" -p no:cacheprovider --servers=moto \
        || leg_status=$?
    if [ "$leg_status" -ne 0 ]; then
        echo "error: the Python $version test run failed (pytest exit status $leg_status)" >&2
        status=$leg_status
    fi
    check_types "$venv"
    [ "$bench" = 0 ] || quick_bench "$venv" "bench-quick-$version.json"
}
if [ "${QUORVEX_SKIP_VERSIONS:-0}" = 1 ]; then
    say "other Python versions left out (QUORVEX_SKIP_VERSIONS=1)"
else
    for version in $SUPPORTED_PYTHONS; do
        [ "$version" != "$VENV_VERSION" ] || continue
        leg "Python $version: install, unit and moto tests, types, quick benchmarks"
        other_version "$version"
    done
fi

# -- 5. wheels: one per interpreter, repaired to manylinux, installed and imported ---------
if [ "${QUORVEX_SKIP_WHEELS:-0}" = 1 ]; then
    say "wheels left out (QUORVEX_SKIP_WHEELS=1)"
else
    leg "wheels for every interpreter found"
    wheels_status=0
    PATH=$PATH_BEFORE bash tools/wheels.sh || wheels_status=$?
    if [ "$wheels_status" -ne 0 ]; then
        echo "error: the wheel check failed (exit status $wheels_status)" >&2
        status=$wheels_status
    fi
fi
leg ""
say "time per leg"
printf '%s\n' "${legs[@]}"
exit "$status"
