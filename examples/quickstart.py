"""A short, typed tour of MinIOPath against whatever store the environment configures.

    MINIO_ENDPOINT=127.0.0.1:9000 MINIO_ACCESS_KEY=... MINIO_SECRET_KEY=... \
    MINIO_BUCKET_NAME=scratch python examples/quickstart.py
"""

from __future__ import annotations

import datetime

from quorvex.minio.path import MinIOPath


def describe(path: MinIOPath) -> str:
    if not path.exists:
        return f"{path}: missing"
    modified: datetime.datetime = path.mtime
    return f"{path}: {len(path.read())} bytes, modified {modified:%Y-%m-%d %H:%M:%S}"


def main() -> None:
    root = MinIOPath(path="quickstart")
    root.create_bucket()
    note = root.join("notes").join("hello.txt")
    note.write(b"hello from quorvex\n")
    print(describe(note))
    for child in root.glob("quickstart/*"):
        print("listed", child, "directory" if child.is_dir() else "object")
    root.delete()
    print("after delete:", describe(note))


if __name__ == "__main__":
    main()
