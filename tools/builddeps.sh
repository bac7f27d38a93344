#!/usr/bin/env bash
# The system libraries a source build links, with their headers: libcurl built on OpenSSL
# and OpenSSL's libcrypto (the transfer engine, quorvex._engine, uses both).
#
#   tools/builddeps.sh            installs what is missing; does nothing when all is there
#   tools/builddeps.sh --check    only reports what is missing (exit status 1 if anything is)
#
# On Debian (dpkg-query on PATH) the packages themselves are asked for; what is missing is
# installed with apt-get, non-interactively, when running as root, and otherwise the script
# stops naming the packages.  Elsewhere the C++ compiler ($CXX, else c++) is asked whether
# it finds the headers; a missing one stops the script naming what to install.
# tools/test.sh, tools/demo.sh, tools/wheels.sh and tools/lint.sh run it before building.
set -euo pipefail

PACKAGES=(libcurl4-openssl-dev libssl-dev)
HEADERS=(curl/curl.h openssl/evp.h)
WHAT="libcurl built on OpenSSL and OpenSSL's libcrypto, with their headers"

check_only=0
case ${1:-} in
    --check) check_only=1 ;;
    "") ;;
    *) echo "usage: tools/builddeps.sh [--check]" >&2; exit 2 ;;
esac

# The packages of PACKAGES that dpkg does not have installed, one per line.
missing_packages() {
    local package state
    for package in "${PACKAGES[@]}"; do
        state=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) || state=""
        [ "$state" = installed ] || echo "$package"
    done
}

if ! command -v dpkg-query >/dev/null 2>&1; then
    compiler=${CXX:-c++}
    if ! command -v "$compiler" >/dev/null 2>&1; then
        echo "error: no C++ compiler ($compiler) to build with; a C++20 one is needed" >&2
        exit 1
    fi
    absent=()
    for header in "${HEADERS[@]}"; do
        printf '#include <%s>\n' "$header" |
            "$compiler" -E -x c++ - >/dev/null 2>&1 || absent+=("$header")
    done
    if [ ${#absent[@]} -gt 0 ]; then
        echo "error: the build needs $WHAT; $compiler does not find ${absent[*]}" \
             "(on Debian and Ubuntu: apt-get install ${PACKAGES[*]})" >&2
        exit 1
    fi
    exit 0
fi

mapfile -t missing < <(missing_packages)
[ ${#missing[@]} -gt 0 ] || exit 0
if [ "$check_only" = 1 ]; then
    echo "missing build packages: ${missing[*]}"
    exit 1
fi
if [ "$(id -u)" != 0 ]; then
    echo "error: the build needs $WHAT: install the packages ${missing[*]}" \
         "(as root: apt-get install ${missing[*]})" >&2
    exit 1
fi

echo "=== installing the build packages ${missing[*]} (apt-get)"
export DEBIAN_FRONTEND=noninteractive
# A fresh machine may have no package lists yet.
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
mapfile -t missing < <(missing_packages)
if [ ${#missing[@]} -gt 0 ]; then
    echo "error: apt-get did not install ${missing[*]}" >&2
    exit 1
fi
