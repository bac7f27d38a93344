"""tools/builddeps.sh, run against stand-in dpkg-query, apt-get, id and c++ commands.

The stand-ins are the only commands on PATH; they keep the machine's packages in a file,
so each case sets up what is installed and reads back what apt-get was asked to do.
"""

from __future__ import annotations

import subprocess
from collections.abc import Sequence
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[1] / "tools" / "builddeps.sh"
PACKAGES = ["libcurl4-openssl-dev", "libssl-dev"]

STANDINS = {
    # Answers as dpkg-query -W -f='${db:Status-Status}' does; unknown packages fail.
    "dpkg-query": """
        package=${!#}
        while read -r line; do
            [ "$line" = "$package" ] && { printf installed; exit 0; }
        done < "$STATE/installed"
        [ "$package" = libssl-dev ] && { printf config-files; exit 0; }
        exit 1
    """,
    # Records each call; install adds its packages unless told to fail.
    "apt-get": """
        echo "$DEBIAN_FRONTEND $*" >> "$STATE/calls"
        [ "$1" = install ] || exit 0
        [ -z "${APT_BROKEN:-}" ] || exit 0
        for argument in "$@"; do
            case $argument in install|-*) ;; *) echo "$argument" >> "$STATE/installed" ;; esac
        done
    """,
    "id": 'echo "$STANDIN_UID"',
    # A compiler whose include path holds the headers listed in $STATE/headers.
    "c++": """
        read -r line
        while read -r header; do
            [ "$line" = "#include <$header>" ] && exit 0
        done < "$STATE/headers"
        exit 1
    """,
}


def run(tmp_path: Path, *, installed: list[str], uid: int = 0, debian: bool = True,
        headers: Sequence[str] = (), args: Sequence[str] = (), **env: str
        ) -> tuple[subprocess.CompletedProcess[str], list[str], list[str]]:
    """Runs the script; gives its outcome, apt-get's calls and the packages installed."""
    bin_dir, state = tmp_path / "bin", tmp_path / "state"
    bin_dir.mkdir()
    state.mkdir()
    for name, body in STANDINS.items():
        if name == "dpkg-query" and not debian:
            continue
        (bin_dir / name).write_text("#!/bin/bash\n" + body)
        (bin_dir / name).chmod(0o755)
    (state / "installed").write_text("".join(f"{p}\n" for p in installed))
    (state / "headers").write_text("".join(f"{h}\n" for h in headers))
    (state / "calls").touch()
    completed = subprocess.run(
        ["/bin/bash", str(SCRIPT), *args], capture_output=True, text=True, timeout=60,
        env={"PATH": str(bin_dir), "STATE": str(state), "STANDIN_UID": str(uid), **env})
    return (completed, (state / "calls").read_text().splitlines(),
            (state / "installed").read_text().split())


def test_nothing_is_done_when_the_packages_are_there(tmp_path: Path) -> None:
    completed, calls, _ = run(tmp_path, installed=PACKAGES + ["pkg-config"], uid=1000)
    assert (completed.returncode, completed.stdout, completed.stderr, calls) == (0, "", "", [])


def test_root_installs_only_the_missing_packages_without_questions(tmp_path: Path) -> None:
    # libssl-dev was removed, its configuration kept: dpkg knows it but it is not installed.
    completed, calls, installed = run(tmp_path, installed=["libcurl4-openssl-dev"])
    assert completed.returncode == 0, completed.stderr
    assert calls == ["noninteractive update -q",
                     "noninteractive install -y -q --no-install-recommends libssl-dev"]
    assert sorted(installed) == PACKAGES


@pytest.mark.parametrize("uid, args", [(1000, []), (0, ["--check"])])
def test_missing_packages_are_named_and_nothing_is_installed(
        tmp_path: Path, uid: int, args: list[str]) -> None:
    completed, calls, _ = run(tmp_path, installed=[], uid=uid, args=args)
    assert completed.returncode == 1
    assert "libcurl4-openssl-dev libssl-dev" in completed.stdout + completed.stderr
    assert calls == []


def test_an_install_that_leaves_a_package_out_fails(tmp_path: Path) -> None:
    completed, calls, _ = run(tmp_path, installed=["libssl-dev"], APT_BROKEN="1")
    assert completed.returncode == 1
    assert "did not install libcurl4-openssl-dev" in completed.stderr
    assert len(calls) == 2


@pytest.mark.parametrize("headers, found", [
    (["curl/curl.h", "openssl/evp.h"], True),
    (["curl/curl.h"], False),
])
def test_without_dpkg_the_compiler_is_asked_for_the_headers(
        tmp_path: Path, headers: list[str], found: bool) -> None:
    completed, calls, _ = run(tmp_path, installed=[], debian=False, headers=headers)
    assert completed.returncode == (0 if found else 1), completed.stderr
    assert ("does not find openssl/evp.h" in completed.stderr) is not found
    assert calls == []
