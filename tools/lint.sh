#!/usr/bin/env bash
# Lint of the C++ sources: the format check and clang-tidy.
#
#   tools/lint.sh            check (exit status non-zero on any finding)
#   tools/lint.sh --fix      rewrite the sources with clang-format first
#
# The tools come from PyPI, pinned, into the project's .venv (made with python3.11 if there
# is none), so no root is needed; CLANG_FORMAT / CLANG_TIDY name other binaries instead.
# clang-tidy reads the compile commands of a CMake configure into build-lint/, which has
# both targets (path and _engine: cpp/ and cpp/engine/); a unit without one is an error.
# The configure needs libcurl's and OpenSSL's headers (tools/builddeps.sh installs them).
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
VENV=$ROOT/.venv
PYTHON=${PYTHON:-python3.11}
CLANG_FORMAT_VERSION=21.1.8
CLANG_TIDY_VERSION=21.1.6

fix=0
if [ "${1:-}" = "--fix" ]; then
    fix=1
fi

if [ ! -x "$VENV/bin/python" ]; then
    "$PYTHON" -m venv "$VENV"
fi
pip_install() {
    "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check "$@"
}
if [ -z "${CLANG_FORMAT:-}" ]; then
    if [ "$("$VENV/bin/clang-format" --version 2>/dev/null | grep -o '[0-9][0-9.]*' | head -n 1)" \
         != "$CLANG_FORMAT_VERSION" ]; then
        pip_install "clang-format==$CLANG_FORMAT_VERSION"
    fi
    CLANG_FORMAT=$VENV/bin/clang-format
fi
if [ -z "${CLANG_TIDY:-}" ]; then
    if ! "$VENV/bin/clang-tidy" --version 2>/dev/null | grep -q "version $CLANG_TIDY_VERSION"; then
        pip_install "clang-tidy==$CLANG_TIDY_VERSION"
    fi
    CLANG_TIDY=$VENV/bin/clang-tidy
fi
bash tools/builddeps.sh
if ! command -v cmake >/dev/null 2>&1 || ! command -v ninja >/dev/null 2>&1; then
    pip_install 'cmake>=3.21' ninja
    export PATH="$VENV/bin:$PATH"
fi

mapfile -t sources < <(find cpp -name '*.cpp' -o -name '*.hpp' | sort)
status=0

echo "=== clang-format ($("$CLANG_FORMAT" --version | head -n 1))"
if [ "$fix" = 1 ]; then
    "$CLANG_FORMAT" -i "${sources[@]}"
fi
"$CLANG_FORMAT" --dry-run --Werror "${sources[@]}" || status=1

echo "=== clang-tidy ($("$CLANG_TIDY" --version | grep -i version | head -n 1 | sed 's/^ *//'))"
cmake -S . -B build-lint -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
mapfile -t units < <(find cpp -name '*.cpp' | sort)
# A unit that no target compiles would be checked with guessed flags, or not at all.
uncompiled=$("$VENV/bin/python" - build-lint/compile_commands.json "${units[@]}" <<'EOF'
import json, os, sys

with open(sys.argv[1], encoding="utf-8") as commands:
    known = {os.path.realpath(os.path.join(entry["directory"], entry["file"]))
             for entry in json.load(commands)}
print(" ".join(unit for unit in sys.argv[2:] if os.path.realpath(unit) not in known))
EOF
)
if [ -n "$uncompiled" ]; then
    echo "error: no compile command for $uncompiled (add it to a target in CMakeLists.txt)" >&2
    status=1
fi
# The compile commands are GCC's; clang-tidy is told to ignore the flags only GCC knows.
"$CLANG_TIDY" -p build-lint --quiet --extra-arg=-Wno-unknown-warning-option "${units[@]}" \
    || status=1

if [ "$status" -ne 0 ]; then
    echo "error: lint found problems (tools/lint.sh --fix reformats; clang-tidy's need a hand)" >&2
fi
exit "$status"
