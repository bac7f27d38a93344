"""A short tour of MinIOPath, its toolbox and its transfers: ``python -m quorvex.minio.demo``.

With ``MINIO_ENDPOINT`` (and ``MINIO_ACCESS_KEY``, ``MINIO_SECRET_KEY``, ...) set, the tour
runs against that store; otherwise it starts the embedded local store for the duration.
The bucket is ``MINIO_BUCKET_NAME``, or "quorvex-demo".  Everything the tour writes lives
under the prefix "tour/", and it removes the bucket at the end only when it created the
bucket itself, so running it against a real store leaves that store as it found it.
"""

from __future__ import annotations

import contextlib
import os
import sys
import tempfile
from pathlib import Path
from typing import TYPE_CHECKING, Iterator

if TYPE_CHECKING:
    from quorvex.minio.path import MinIOPath

DEFAULT_BUCKET = "quorvex-demo"
PREFIX = "tour"


def say(text: str) -> None:
    print(text, flush=True)


@contextlib.contextmanager
def store() -> Iterator[str]:
    """Yields a description of the store the tour talks to."""
    if os.environ.get("MINIO_ENDPOINT"):
        yield f"the configured store at {os.environ['MINIO_ENDPOINT']}"
        return
    from quorvex.minio.embedded import EmbeddedStore

    with EmbeddedStore() as embedded:
        saved = {name: os.environ.get(name) for name in embedded.env()}
        os.environ.update(embedded.env())
        try:
            yield f"the embedded store at {embedded.endpoint}"
        finally:
            for name, value in saved.items():
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value


def make_tree(root: Path) -> None:
    """A small local directory tree to upload."""
    (root / "logs" / "2026").mkdir(parents=True)
    (root / "empty").mkdir()
    (root / "README.txt").write_text("A generated tree for the demo.\n")
    (root / ".hidden").write_text("hidden files are uploaded too\n")
    (root / "logs" / "app.log").write_text("started\nstopped\n")
    (root / "logs" / "2026" / "dec.log").write_text("december\n")
    (root / "logs" / "2026" / "données.csv").write_text("a,b\n1,2\n")


def tour() -> None:
    from quorvex.minio.path import MinIOPath

    os.environ.setdefault("MINIO_BUCKET_NAME", DEFAULT_BUCKET)
    base = MinIOPath(path=PREFIX)
    say(f"bucket_name          -> {base.bucket_name!r}")
    created = not base.bucket_exists
    say(f"bucket_exists        -> {not created}")
    base.create_bucket()
    say(f"create_bucket()      -> bucket_exists is now {base.bucket_exists}")

    note = base.join("notes").join("hello.txt")
    say(f"str(note)            -> {note}")
    note.write(b"Hello from quorvex.minio.path\n")
    say(f"write(...)           -> {len(note.read())} bytes stored")
    say(f"read()               -> {note.read()!r}")
    say(f"exists               -> {note.exists} (and a missing object: "
        f"{base.join('missing.txt').exists})")
    say(f"mtime                -> {note.mtime:%Y-%m-%d %H:%M:%S} (local time)")

    try:
        base.join("missing.txt").read()
    except FileNotFoundError as exc:
        say(f"read() of a missing object raises FileNotFoundError: {exc}")

    with tempfile.TemporaryDirectory(prefix="quorvex-demo-") as tmp:
        make_tree(Path(tmp))
        tree = base.join("tree")
        tree.upload(tmp)
        say(f"upload({tmp!r}) -> the tree is below {tree.path}")

    say(f"is_dir() of tree     -> {tree.is_dir()}; of the note -> {note.is_dir()}")
    say("glob('*') below tree:")
    for child in tree.glob("*"):
        say(f"    {child.path}{'/' if child.is_dir() else ''}")
    say("glob('*.log') below tree/logs:")
    for child in tree.join("logs").glob("*.log"):
        say(f"    {child.path}")

    toolbox(base, tree)

    try:
        base.mkdir()
    except NotImplementedError as exc:
        say(f"mkdir() is refused: {exc}")

    tree.delete()
    say(f"delete() of tree     -> is_dir() is now {tree.is_dir()}")
    note.delete(recursive=False)
    say(f"delete(recursive=False) of the note -> exists is now {note.exists}")
    base.delete()
    if created:
        base.delete_bucket()
        say(f"delete_bucket()      -> bucket_exists is now {base.bucket_exists}")
    else:
        say("the bucket existed before the tour, so it is left in place")


def toolbox(base: "MinIOPath", tree: "MinIOPath") -> None:
    """What every path has besides the members: details, walks, text, streams, transfers."""
    csv = tree / "logs/2026/données.csv"
    info = csv.stat()
    say(f"tree / 'logs/2026/données.csv' -> name {csv.name!r}, suffix {csv.suffix!r}, "
        f"parent {csv.parent.path}")
    say(f"stat()               -> size {info.size}, etag {info.etag}")
    say("scandir() of tree:")
    for entry in tree.scandir():
        kind = "dir " if entry.is_dir() else f"{entry.size:>4} B"
        say(f"    {kind}  {entry.name}")
    say("walk() of tree, from one recursive listing:")
    for folder, dirnames, filenames in tree.walk():
        say(f"    {folder.path}: dirs {dirnames}, files {filenames}")
    say(f"rglob('*.log')       -> {sorted(p.name for p in tree.rglob('*.log'))}")
    say(f"du()                 -> {tree.du()}")
    report = base / "reports/summary.txt"
    report.write_text("ünïcode survives the round trip\n")
    say(f"write_text/read_text -> {report.read_text()!r}")
    with report.open("w") as stream:                     # streamed, stored at close()
        for line in range(3):
            stream.write(f"line {line}\n")
    with report.open("r") as stream:
        say(f"open('w'), open('r') -> {[line.strip() for line in stream]}")
    with tempfile.TemporaryDirectory(prefix="quorvex-demo-") as tmp:
        tree.download_to(tmp)
        files = sorted(str(p.relative_to(tmp)) for p in Path(tmp).rglob("*") if p.is_file())
        say(f"download_to(...)     -> {len(files)} files, e.g. {files[:2]}")
        copy = base / "tree-copy"
        progress: list[tuple[int, int]] = []
        copy.upload_from(tmp, progress=lambda done, total: progress.append((done, total)))
        done, total = progress[-1]
        say(f"upload_from(...)     -> {copy.du().count} objects, progress ended at "
            f"{done} of {total} bytes")
        copy.upload_from(tmp, skip_unchanged=True)  # compares sizes and MD5s, sends none
    moved = base / "tree-moved"
    (base / "tree-copy").move(moved)
    say(f"move() on the server -> {moved.du().count} objects below {moved.path}, "
        f"{(base / 'tree-copy').du().count} left at the source")
    moved.delete()
    report.unlink()


def main() -> int:
    with store() as where:
        say(f"quorvex.minio.path demo, against {where}")
        tour()
    say("done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
