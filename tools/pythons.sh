# Finding the interpreters the project supports; sourced by the scripts in tools/.
#
#   SUPPORTED_PYTHONS      the minor versions the package builds for, oldest first
#   find_python 3.12       prints the path of a working Python 3.12, or fails quietly
#   python_version PYTHON  prints "3.12" for a working interpreter, or fails quietly

SUPPORTED_PYTHONS="3.11 3.12 3.13"

python_version() {
    "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null
}

# The interpreter on PATH first, then pyenv's (newest patch release first), then the
# system's.  Each candidate is run: pyenv puts shims on PATH for versions that are
# installed but not selected, and those shims fail when run.
find_python() {
    local want=$1 root candidate
    local -a candidates=("python$want")
    if root=$(pyenv root 2>/dev/null) || root=${PYENV_ROOT:-$HOME/.pyenv}; then
        while IFS= read -r candidate; do
            candidates+=("$candidate")
        done < <(ls -d "$root"/versions/"$want".*/bin/"python$want" 2>/dev/null | sort -rV)
    fi
    candidates+=("/usr/local/bin/python$want" "/usr/bin/python$want")
    for candidate in "${candidates[@]}"; do
        if [ "$(python_version "$candidate")" = "$want" ]; then
            "$candidate" -c 'import sys; print(sys.executable)'
            return 0
        fi
    done
    return 1
}

# The interpreter that makes .venv: $PYTHON, else python3.11 when there is one, else python3.
default_python() {
    if [ -n "${PYTHON:-}" ]; then
        echo "$PYTHON"
    else
        find_python 3.11 || echo python3
    fi
}

# Prints the version of the interpreter $1 when it runs and is supported; otherwise says
# why on standard error and fails.
supported_version() {
    local version
    if ! version=$(python_version "$1"); then
        echo "error: $1 does not run; set PYTHON to a Python ${SUPPORTED_PYTHONS// /, }" >&2
        return 1
    fi
    case " $SUPPORTED_PYTHONS " in
        *" $version "*) echo "$version"; return 0 ;;
    esac
    echo "error: $1 is Python $version; the package supports ${SUPPORTED_PYTHONS// /, }" \
         "(set PYTHON to one of them)" >&2
    return 1
}
