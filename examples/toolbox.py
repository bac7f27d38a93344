"""The path toolbox, typed: stat, listings with details and text, against the configured store.

    MINIO_ENDPOINT=127.0.0.1:9000 MINIO_ACCESS_KEY=... MINIO_SECRET_KEY=... \
    MINIO_BUCKET_NAME=scratch python examples/toolbox.py
"""

from __future__ import annotations

from quorvex.base import DiskUsage, Entry, ObjectInfo
from quorvex.minio.path import MinIOPath


def report(top: MinIOPath) -> list[str]:
    lines: list[str] = []
    for folder, dirnames, filenames in top.walk():
        lines.append(f"{folder.as_uri()}: {len(dirnames)} folders, {filenames}")
    entry: Entry[MinIOPath]
    for entry in top.scandir():
        kind = "folder" if entry.is_dir() else f"{entry.size} bytes"
        lines.append(f"{entry.name}: {kind}")
    usage: DiskUsage = top.du()
    lines.append(f"{usage.count} objects, {usage.size} bytes")
    return lines


def main() -> None:
    top = MinIOPath(path="toolbox")
    top.create_bucket()
    note = top / "notes/2026/hello.txt"
    written: int = note.write_text("hello from quorvex\n")
    info: ObjectInfo = note.stat()
    print(f"{note.name}: {written} characters, {info.size} bytes, {info.last_modified:%H:%M}")
    (note.parent / "data.bin").write_bytes(bytearray(b"\x00\x01"))
    print("\n".join(report(top)))
    print(sorted(path.name for path in top.rglob("*.txt")), note.relative_to(top))
    for path in list(top.rglob()):
        path.unlink()


if __name__ == "__main__":
    main()
