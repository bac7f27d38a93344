#!/usr/bin/env bash
# The unit tests (not the integration tests) under valgrind memcheck, once:
#
#   tools/valgrind.sh [pytest arguments...]     e.g. tools/valgrind.sh tests/test_content.py
#
# 1. builds the extension with debug information (RelWithDebInfo: the shipped -O2 code,
#    with symbols) into build-valgrind/, and puts it in front of the installed package
#    on the import path, as tools/test.sh does for its sanitizer build;
# 2. records a suppression baseline of the interpreter itself: `python -c pass` under
#    memcheck with --gen-suppressions=all (build-valgrind/baseline.supp);
# 3. runs pytest -m "not integration" under memcheck (PYTHONMALLOC=malloc, so that every
#    Python object is a malloc block valgrind can follow; child processes run natively);
# 4. reports the errors and definite leaks whose stack passes through our extension
#    (the .so, or a function of namespace qmp) and exits 1 if there is any, or if pytest
#    failed.  Everything else (CPython's own still-reachable memory at exit, other
#    extensions) is counted but not judged.
#
# Needs valgrind (apt-get install valgrind), cmake >= 3.21 and ninja (tools/test.sh puts
# both into .venv).  Slow: about 30-50 times the normal run.  The full log is in
# build-valgrind/memcheck.log.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
VENV=$ROOT/.venv
OUT=$ROOT/build-valgrind
PY=$VENV/bin/python
export PATH="$VENV/bin:$PATH"

command -v valgrind >/dev/null || { echo "error: valgrind is not installed" >&2; exit 2; }
"$PY" -c 'import quorvex.minio.path' 2>/dev/null ||
    { echo "error: install the package into .venv first (tools/test.sh)" >&2; exit 2; }
mkdir -p "$OUT"

# -- 1. the build ------------------------------------------------------------------------
cmake -S . -B "$OUT/cmake" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$OUT/cmake" >/dev/null
built=$(find "$OUT/cmake" -maxdepth 1 -name 'path.cpython-3*.so' -print -quit)
[ -n "$built" ] || { echo "error: no extension built in $OUT/cmake" >&2; exit 1; }

site=$("$PY" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
shadow=$OUT/site
rm -rf "$shadow"
mkdir -p "$shadow"
cp -R "$site/quorvex" "$shadow/quorvex"
find "$shadow/quorvex" -name '__pycache__' -prune -exec rm -rf {} +
find "$shadow/quorvex/minio" -maxdepth 1 -name 'path.*.so' -delete
cp "$built" "$shadow/quorvex/minio/"
loaded=$(PYTHONPATH="$shadow" "$PY" -c 'import quorvex.minio.path as m; print(m.__file__)')
case $loaded in
    "$shadow"/*) ;;
    *) echo "error: the run would import $loaded, not the build in $shadow" >&2; exit 1 ;;
esac

# The soak of tests/test_load.py checks for leaks itself; a few hundred rounds are enough
# under memcheck.
export QUORVEX_SOAK_ROUNDS=${QUORVEX_SOAK_ROUNDS:-200}

memcheck() {
    PYTHONMALLOC=malloc PYTHONPATH="$shadow" valgrind --tool=memcheck --error-limit=no \
        --num-callers=40 --leak-check=full --show-leak-kinds=definite \
        --errors-for-leak-kinds=definite --trace-children=no "$@"
}

# -- 2. the baseline ---------------------------------------------------------------------
echo "=== suppression baseline: python -c pass"
memcheck --gen-suppressions=all --log-file="$OUT/baseline.log" "$PY" -c pass
# Suppression blocks are the log's lines that valgrind does not prefix with ==pid==.
awk '/^\{/{keep=1} keep && !/^==/{print} /^\}/{keep=0}' "$OUT/baseline.log" \
    > "$OUT/baseline.supp"
echo "$(grep -c '^{' "$OUT/baseline.supp" || true) suppressions recorded"

# -- 3. the run --------------------------------------------------------------------------
echo "=== pytest -m 'not integration' under memcheck (extension: $loaded)"
suppressions=(--suppressions="$OUT/baseline.supp")
if [ -f tools/valgrind.supp ]; then suppressions+=(--suppressions=tools/valgrind.supp); fi
started=$(date +%s)
status=0
# Left out: a test that swaps Py_Version for its child through LD_PRELOAD, which valgrind
# occupies (its siblings skip themselves when the swap did not happen; this one cannot).
memcheck "${suppressions[@]}" --log-file="$OUT/memcheck.log" \
    "$PY" -m pytest -m "not integration" -p no:cacheprovider -q \
    --deselect tests/test_loading.py::test_version_warning_as_error_fails_the_import \
    "$@" || status=$?
echo "pytest exit status $status after $(( $(date +%s) - started )) s"

# -- 4. the verdict ----------------------------------------------------------------------
"$PY" - "$OUT/memcheck.log" <<'EOF' || status=1
import re, sys

text = open(sys.argv[1], encoding="utf-8", errors="replace").read().splitlines()
blocks, block = [], []
for line in text:
    match = re.match(r"==\d+== ?(.*)", line)
    if not match:
        continue
    body = match.group(1)
    if body.strip():
        block.append(body)
    elif block:
        blocks.append(block)
        block = []
if block:
    blocks.append(block)

KINDS = ("Invalid ", "Conditional jump", "Use of uninitialised", "Syscall param",
         "Mismatched free", "Source and destination overlap", "definitely lost",
         "Argument 'size'")
ours = re.compile(r"path\.cpython-3\d+|qmp::")
errors = [b for b in blocks if b[0].lstrip().startswith(KINDS) or "definitely lost" in b[0]]
# tracemalloc's own records of a traced allocation (allocated by raw_malloc in
# _tracemalloc.c while the traced code, ours included, runs) are not the traced objects.
bookkeeping = [b for b in errors if any("raw_malloc (_tracemalloc.c" in line for line in b[1:3])]
mine = [b for b in errors if b not in bookkeeping and any(ours.search(line) for line in b[1:])]
summary = [line for line in text if "ERROR SUMMARY" in line or "definitely lost:" in line]
print(f"memcheck: {len(errors)} error or definite-leak records in all, {len(bookkeeping)} "
      f"of them tracemalloc's bookkeeping; {len(mine)} through the extension")
for line in summary[-2:]:
    print("  " + re.sub(r"^==\d+== ", "", line))
for b in mine:
    print("\n".join(["---"] + b[:25]))
sys.exit(1 if mine else 0)
EOF
exit "$status"
