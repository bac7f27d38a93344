"""MinIOPath against real servers (moto and SeaweedFS, each in turn) when things go wrong
locally, and under concurrent use from threads with different configuration sections.

- A local file that cannot be read, or that does not exist, fails with the SDK's own
  OSError and stores nothing for that file.  Root ignores file permissions; there the
  unreadable-file cases run in a child process without CAP_DAC_OVERRIDE and
  CAP_DAC_READ_SEARCH (through util-linux ``setpriv``), and are skipped where that is
  not possible.
- Trees that recurse without end (a symbolic-link loop) or very deep ones end in a clear
  Python error.  Those run in a child process, so that a crash shows as a signal there
  instead of ending the test run.
- Threads that share path objects but use different sections each see their own bucket.
- A writer killed mid-upload leaves its multipart upload behind; ``abort_uploads`` finds
  and aborts it, and keeps the uploads that are younger or not below the path.
"""

from __future__ import annotations

import datetime
import errno
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
from typing import Any, Optional

import pytest

from quorvex.config import configure
from quorvex.minio.path import MinIOPath
# The bucket fixture and the raw read-back of a bucket are shared with the store tests.
from test_integration_store import store, stored  # noqa: F401  (store is a fixture)

pytestmark = pytest.mark.integration


# -- child processes -----------------------------------------------------------------------

# Uploads argv[2] onto MinIOPath(argv[1]) and prints what happened as JSON.  argv[3], when
# given, is a recursion limit to set first; argv[4] a file the child tries to open first
# (to learn whether file permissions apply to it).
CHILD = r"""
import json, sys
from quorvex.minio.path import MinIOPath

target, local = sys.argv[1], sys.argv[2]
limit = int(sys.argv[3]) if len(sys.argv) > 3 and sys.argv[3] else None
probe = sys.argv[4] if len(sys.argv) > 4 else None
report = {"error": None}
if probe is not None:
    try:
        open(probe, "rb").close()
        report["probe_readable"] = True
    except PermissionError:
        report["probe_readable"] = False
if limit is not None:
    sys.setrecursionlimit(limit)
try:
    MinIOPath(target).upload(local)
except BaseException as exc:
    sys.setrecursionlimit(10000)
    report.update(error=type(exc).__name__,
                  oserror=isinstance(exc, OSError),
                  errno=getattr(exc, "errno", None),
                  filename=getattr(exc, "filename", None),
                  message=str(exc)[:300])
print(json.dumps(report))
"""


def run_child(tmp_path, target: str, local: str, *, limit: Optional[int] = None,
              probe: Optional[str] = None, prefix: tuple[str, ...] = ()) -> dict[str, Any]:
    """Runs CHILD in a new interpreter (from ``tmp_path``, so the source tree is not on
    its path) with this process's environment; returns its report."""
    command = [*prefix, sys.executable, "-c", CHILD, target, local,
               "" if limit is None else str(limit)]
    if probe is not None:
        command.append(probe)
    done = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True,
                          timeout=300, check=False)
    assert done.returncode == 0, (
        f"the child process ended with status {done.returncode} (a negative status is a "
        f"signal)\n--- stdout\n{done.stdout}\n--- stderr\n{done.stderr[-3000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def unprivileged_prefix() -> tuple[str, ...]:
    """The command prefix under which file permissions apply to a child process."""
    if os.geteuid() != 0:
        return ()
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("running as root, where file permissions do not apply, and util-linux "
                    "setpriv (to drop CAP_DAC_OVERRIDE in a child) is not installed")
    return (setpriv, "--bounding-set=-dac_override,-dac_read_search",
            "--inh-caps=-dac_override,-dac_read_search")


# -- local files that cannot be read -------------------------------------------------------


def tree_with_unreadable(root, what: str) -> tuple[dict[str, bytes], str, str]:
    """A tree with readable files and one unreadable file or directory.

    Returns the readable files (relative name -> content), the relative name of the
    unreadable entry and the path of a file the child cannot open.
    """
    readable = {"a.txt": b"a", "sub/b.txt": b"b", "z.txt": b"z"}
    for name, data in readable.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    if what == "file":
        locked = root / "sub" / "locked.txt"
        locked.write_bytes(b"secret")
        locked.chmod(0)
        return readable, "sub/locked.txt", str(locked)
    locked_dir = root / "locked-dir"
    locked_dir.mkdir()
    (locked_dir / "inside.txt").write_bytes(b"secret")
    locked_dir.chmod(0)
    return readable, "locked-dir/inside.txt", str(locked_dir / "inside.txt")


@pytest.fixture
def restore_modes(tmp_path):
    """Gives every entry below tmp_path its permissions back, so it can be removed."""
    yield
    for directory, names, files in os.walk(tmp_path, topdown=True):
        for name in names + files:
            path = os.path.join(directory, name)
            if not os.path.islink(path):
                os.chmod(path, 0o700)  # before os.walk goes into it


def test_upload_of_an_unreadable_file_stores_nothing(store, tmp_path, restore_modes):
    prefix = unprivileged_prefix()
    locked = tmp_path / "locked.bin"
    locked.write_bytes(b"secret")
    locked.chmod(0)
    report = run_child(tmp_path, "one/locked.bin", str(locked), probe=str(locked),
                       prefix=prefix)
    if report.get("probe_readable"):
        pytest.skip("file permissions do not apply even to the child process")
    assert report["error"] == "PermissionError", report
    assert report["errno"] == errno.EACCES
    assert report["filename"] == str(locked)
    assert stored(store) == {}


@pytest.mark.parametrize("what", ["file", "directory"])
def test_upload_of_a_tree_with_an_unreadable_entry(store, tmp_path, restore_modes, what):
    prefix = unprivileged_prefix()
    root = tmp_path / "tree"
    readable, locked_name, probe = tree_with_unreadable(root, what)
    report = run_child(tmp_path, "dst", str(root), probe=probe, prefix=prefix)
    if report.get("probe_readable"):
        pytest.skip("file permissions do not apply even to the child process")
    assert report["error"] == "PermissionError", report
    assert report["errno"] == errno.EACCES
    assert report["filename"] == str(root / locked_name.split("/")[0]
                                     if what == "directory" else root / locked_name)
    # The upload stops at the entry; what came before it (in directory order) is there,
    # whole, and nothing of the unreadable entry is.
    objects = stored(store)
    expected = {f"dst/{name}": data for name, data in readable.items()}
    assert objects.items() <= expected.items()
    assert f"dst/{locked_name}" not in objects


# -- local paths that do not exist ---------------------------------------------------------


def test_upload_of_a_missing_local_path_stores_nothing(store, tmp_path):
    missing = tmp_path / "not-there" / "file.txt"
    with pytest.raises(FileNotFoundError) as caught:
        MinIOPath("dst/file.txt").upload(str(missing))
    assert caught.value.errno == errno.ENOENT
    assert caught.value.filename == str(missing)
    assert stored(store) == {}


def test_upload_of_a_tree_with_a_dangling_link(store, tmp_path):
    root = tmp_path / "tree"
    root.mkdir()
    (root / "a.txt").write_bytes(b"a")
    (root / "z.txt").write_bytes(b"z")
    (root / "dangling").symlink_to(tmp_path / "gone")
    with pytest.raises(FileNotFoundError) as caught:
        MinIOPath("dst").upload(str(root))
    assert caught.value.filename == str(root / "dangling")
    objects = stored(store)
    assert objects.items() <= {"dst/a.txt": b"a", "dst/z.txt": b"z"}.items()
    assert "dst/dangling" not in objects


# -- trees without end ---------------------------------------------------------------------


def test_upload_of_a_symbolic_link_loop_ends_in_a_clear_error(store, tmp_path):
    root = tmp_path / "dir"
    root.mkdir()
    (root / "file.txt").write_bytes(b"looped")
    (root / "loop").symlink_to(root)
    report = run_child(tmp_path, "looped", str(root))
    assert report["error"] == "RecursionError" or (
        report["oserror"] and report["errno"] in (errno.ELOOP, errno.ENAMETOOLONG)), report
    # Whatever was stored before the error is a copy of the one file, one level deeper
    # each time through the loop.
    objects = stored(store)
    assert objects, "the first level of the tree should have been uploaded"
    for name, data in objects.items():
        head, *loops, tail = name.split("/")
        assert (head, tail, set(loops) <= {"loop"}, data) == ("looped", "file.txt", True,
                                                              b"looped")


def test_upload_deeper_than_the_recursion_limit_raises_recursion_error(store, tmp_path):
    root = tmp_path / "deep"
    deepest = root.joinpath(*["d"] * 300)
    deepest.mkdir(parents=True)
    (deepest / "bottom.txt").write_bytes(b"bottom")
    report = run_child(tmp_path, "deep", str(root), limit=200)
    assert report["error"] == "RecursionError", report
    assert stored(store) == {}


# -- threads with sections -----------------------------------------------------------------


THREADS = 8
ROUNDS = 4


def test_threads_with_their_own_sections_see_their_own_buckets(configured, monkeypatch):
    # Thread 0 keeps the default section "minio" (and never calls use_section); the others
    # use "minio.archive" and sections of their own, each on its own bucket.
    sections = ["minio", "minio.archive"] + [f"minio.worker{index}"
                                             for index in range(2, THREADS)]
    buckets = {"minio": configured.make_bucket()}
    for section in sections[1:]:
        bucket = configured.make_bucket(configured.new_bucket_name("section"))
        buckets[section] = bucket
        for name, value in configured.env(section, bucket).items():
            monkeypatch.setenv(name, value)

    # The same path objects in every thread.
    paths = [MinIOPath("shared/one.txt"), MinIOPath("/shared/deep/two.bin")]
    barrier = threading.Barrier(THREADS, timeout=60)
    failures: list[BaseException] = []
    seen: dict[str, list[tuple[str, ...]]] = {section: [] for section in sections}

    def work(section: str) -> None:
        for round_number in range(ROUNDS):
            for path in paths:
                payload = f"{section} {path.path} {round_number}".encode()
                path.write(payload)
                barrier.wait()  # every thread has written the same names
                seen[section].append((path.bucket_name, path.read().decode(),
                                      str(path.exists)))
                barrier.wait()  # nobody writes the next round before all have read

    def run(section: str) -> None:
        try:
            if section == "minio":
                work(section)
            else:
                with MinIOPath.use_section(section) as chosen:
                    assert chosen == section
                    work(section)
                # Leaving the section puts the thread back on the default one.
                assert paths[0].bucket_name == buckets["minio"]
        except BaseException as exc:
            failures.append(exc)
            barrier.abort()

    threads = [threading.Thread(target=run, args=(section,), name=f"worker-{section}")
               for section in sections]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    if failures:
        raise failures[0]

    for section in sections:
        assert seen[section] == [
            (buckets[section], f"{section} {path.path} {round_number}", "True")
            for round_number in range(ROUNDS) for path in paths]
        assert stored(configured, buckets[section]) == {
            str(path.path): f"{section} {path.path} {ROUNDS - 1}".encode() for path in paths}
    # The main thread never chose a section.
    assert paths[1].bucket_name == buckets["minio"]


# -- a writer killed mid-upload ------------------------------------------------------------

# Starts a multipart upload of argv[1] with open("wb"), sends a part, says so, then waits
# to be killed: nothing gets to abort the upload.
WRITER = r"""
import sys, time
from quorvex.minio.path import MinIOPath
from quorvex.sizes import PART_SIZE

writer = MinIOPath(sys.argv[1]).open("wb")
writer.write(b"k" * (PART_SIZE + 1))
writer._collect_oldest()
print("sent", flush=True)
time.sleep(300)
"""


def test_uploads_of_a_killed_writer_are_found_and_aborted(configured, tmp_path):
    configured.make_bucket()
    client, bucket = configured.client, configured.bucket
    child = subprocess.Popen([sys.executable, "-c", WRITER, "big/part"], cwd=tmp_path,
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout is not None and child.stdout.readline() == "sent\n"
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=60)
    assert child.returncode == -signal.SIGKILL
    outside = client._create_multipart_upload(bucket, "bigger", {})  # not below "big"

    def pending() -> list[tuple[str, str]]:
        return sorted((u.object_name, u.upload_id)
                      for u in client._list_multipart_uploads(bucket).uploads)

    [(key, left_behind)] = [row for row in pending() if row[0] != "bigger"]
    assert key == "big/part" and not MinIOPath("big/part").exists
    [seen] = MinIOPath("big").abort_uploads(0, dry_run=True)
    assert (seen.key, seen.upload_id) == (key, left_behind) and len(pending()) == 2
    now = datetime.datetime.now(datetime.timezone.utc)
    assert seen.initiated is not None
    if configured.kind == "seaweedfs":  # moto reports 2010-11-10T20:48:33Z for every upload
        assert abs(now - seen.initiated) < datetime.timedelta(minutes=10)
    younger = now - seen.initiated + datetime.timedelta(hours=1)
    assert MinIOPath("big").abort_uploads(older_than=younger) == [] and len(pending()) == 2

    assert MinIOPath("big").abort_uploads(older_than=datetime.timedelta(0)) == [seen]
    assert pending() == [("bigger", outside)]
    assert [u.upload_id for u in MinIOPath("").abort_uploads(0)] == [outside]
    assert pending() == []
    with pytest.raises(FileNotFoundError, match="does not exist"):
        with configure(bucket_name=configured.new_bucket_name("gone")):
            MinIOPath("big").abort_uploads(0)
