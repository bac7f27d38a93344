#!/usr/bin/env bash
# The unit tests (not the integration tests) under valgrind memcheck, once, and the
# transfer engine's integration tests:
#
#   tools/valgrind.sh [pytest arguments...]     e.g. tools/valgrind.sh tests/test_content.py
#
# 1. builds both extensions with debug information (RelWithDebInfo: the shipped -O2 code,
#    with symbols) into build-valgrind/, and puts them in front of the installed package
#    on the import path, as tools/test.sh does for its sanitizer builds;
# 2. records a suppression baseline of the interpreter itself: `python -c pass` under
#    memcheck with --gen-suppressions=all (build-valgrind/baseline.supp);
# 3. runs pytest -m "not integration" under memcheck (PYTHONMALLOC=malloc, so that every
#    Python object is a malloc block valgrind can follow; child processes run natively);
#    then, when tests/test_engine.py exists and no pytest arguments were given, its
#    integration tests against SeaweedFS (a child process, so only the client side, the
#    engine's threads and libcurl, runs under memcheck);
# 4. reports the errors and definite leaks whose stack passes through our extensions
#    (the .so files, or a function of namespace qmp or qe) and exits 1 if there is any, or
#    if pytest failed.  Everything else (CPython's own still-reachable memory at exit, other
#    extensions) is counted but not judged.
#
# Needs valgrind (apt-get install valgrind), cmake >= 3.21 and ninja (tools/test.sh puts
# both into .venv).  Slow: about 30-50 times the normal run.  The full logs are in
# build-valgrind/memcheck.log and build-valgrind/memcheck-engine.log.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
VENV=$ROOT/.venv
OUT=$ROOT/build-valgrind
PY=$VENV/bin/python
export PATH="$VENV/bin:$PATH"

command -v valgrind >/dev/null || { echo "error: valgrind is not installed" >&2; exit 2; }
"$PY" -c 'import quorvex.minio.path, quorvex._engine' 2>/dev/null ||
    { echo "error: install the package into .venv first (tools/test.sh)" >&2; exit 2; }
mkdir -p "$OUT"

# -- 1. the build ------------------------------------------------------------------------
cmake -S . -B "$OUT/cmake" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$OUT/cmake" >/dev/null

site=$("$PY" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
shadow=$OUT/site
rm -rf "$shadow"
mkdir -p "$shadow"
cp -R "$site/quorvex" "$shadow/quorvex"
find "$shadow/quorvex" -name '__pycache__' -prune -exec rm -rf {} +
for module in minio/path _engine; do
    folder=$shadow/quorvex/$(dirname "$module")
    module=$(basename "$module")
    built=$(find "$OUT/cmake" -maxdepth 1 -name "$module.cpython-3*.so" -print -quit)
    [ -n "$built" ] || { echo "error: no $module extension built in $OUT/cmake" >&2; exit 1; }
    find "$folder" -maxdepth 1 -name "$module.*.so" -delete
    cp "$built" "$folder/"
done
loaded=$(PYTHONPATH="$shadow" "$PY" -c 'import quorvex.minio.path, quorvex._engine
print(quorvex.minio.path.__file__)
print(quorvex._engine.__file__)')
while IFS= read -r file; do
    case $file in
        "$shadow"/*) ;;
        *) echo "error: the run would import $file, not the build in $shadow" >&2; exit 1 ;;
    esac
done <<<"$loaded"

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
echo "=== pytest -m 'not integration' under memcheck (extensions:" $loaded")"
suppressions=(--suppressions="$OUT/baseline.supp")
if [ -f tools/valgrind.supp ]; then suppressions+=(--suppressions=tools/valgrind.supp); fi
started=$(date +%s)
status=0
# Left out: a test that swaps Py_Version for its child through LD_PRELOAD, which valgrind
# occupies (its siblings skip themselves when the swap did not happen; this one cannot),
# and one that bounds how long a refused TLS handshake takes, which memcheck's slowdown
# of OpenSSL overruns.
memcheck "${suppressions[@]}" --log-file="$OUT/memcheck.log" \
    "$PY" -m pytest -m "not integration" -p no:cacheprovider -q \
    --deselect tests/test_loading.py::test_version_warning_as_error_fails_the_import \
    --deselect tests/test_tls.py::test_a_certificate_that_does_not_verify_names_the_ca_bundle \
    "$@" || status=$?
echo "pytest exit status $status after $(( $(date +%s) - started )) s"
logs=("$OUT/memcheck.log")

if [ $# -eq 0 ] && [ -f tests/test_engine.py ]; then
    echo "=== pytest tests/test_engine.py -m integration --servers=seaweedfs under memcheck"
    started=$(date +%s)
    engine_status=0
    memcheck "${suppressions[@]}" --log-file="$OUT/memcheck-engine.log" \
        "$PY" -m pytest tests/test_engine.py -m integration --servers=seaweedfs \
        -p no:cacheprovider -q || engine_status=$?
    echo "pytest exit status $engine_status after $(( $(date +%s) - started )) s"
    # Exit status 5: the file has no integration test (all deselected).
    [ "$engine_status" -eq 5 ] || [ "$engine_status" -eq 0 ] || status=$engine_status
    logs+=("$OUT/memcheck-engine.log")
fi

# -- 4. the verdict ----------------------------------------------------------------------
"$PY" - "${logs[@]}" <<'EOF' || status=1
import re, sys

logs = [open(log, encoding="utf-8", errors="replace").read().splitlines()
        for log in sys.argv[1:]]
text = [line for lines in logs for line in lines]
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
ours = re.compile(r"(path|_engine)\.cpython-3\d+|qmp::|qe::")
errors = [b for b in blocks if b[0].lstrip().startswith(KINDS) or "definitely lost" in b[0]]
# tracemalloc's own records of a traced allocation (allocated by raw_malloc in
# _tracemalloc.c while the traced code, ours included, runs) are not the traced objects.
bookkeeping = [b for b in errors if any("raw_malloc (_tracemalloc.c" in line for line in b[1:3])]
mine = [b for b in errors if b not in bookkeeping and any(ours.search(line) for line in b[1:])]
summary = [line for lines in logs for line in
           [line for line in lines if "ERROR SUMMARY" in line or "definitely lost:" in line][-2:]]
print(f"memcheck: {len(errors)} error or definite-leak records in all, {len(bookkeeping)} "
      f"of them tracemalloc's bookkeeping; {len(mine)} through the extensions")
for line in summary:
    print("  " + re.sub(r"^==\d+== ", "", line))
for b in mine:
    print("\n".join(["---"] + b[:25]))
sys.exit(1 if mine else 0)
EOF
exit "$status"
