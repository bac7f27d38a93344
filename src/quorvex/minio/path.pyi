import datetime
from typing import Any, ClassVar, Generator

from minio import Minio
from quorvex.base import BasePath

class MinIOPath(BasePath):
    """A handle on one object, or one directory (a key prefix), in a bucket.

    ``MinIOPath(path="a/b.txt")`` names the key ``a/b.txt`` (leading slashes are dropped;
    ``""`` and ``"/"`` are the bucket's root).  The bucket is the ``bucket_name`` of the
    calling thread's configuration section, looked up at every use.  The path algebra,
    listings with details and text helpers come from :class:`quorvex.base.BasePath`.
    """

    _section: ClassVar[tuple[str, ...]]
    _creator: ClassVar[type[Minio]]
    @property
    def client(self) -> Minio:
        """The SDK client of the calling thread's configuration section."""

    # Identity
    @property
    def bucket_name(self) -> str | None:
        """The bucket of the calling thread's section (``None`` when none is configured).

        Looked up afresh at every read; never cached.
        """
    def __str__(self) -> str:
        """``(bucket='<bucket_name>', path='<key>')``."""
    def __hash__(self) -> int:
        """The hash of ``(bucket_name, path)``: it follows the thread's bucket."""

    # Bucket operations
    @property
    def bucket_exists(self) -> bool:
        """Whether the bucket exists: one request."""
    def create_bucket(self) -> None:
        """Makes the bucket if it is missing (asks first: one or two requests)."""
    def delete_bucket(self) -> None:
        """Removes the bucket if it exists; the store refuses a bucket that holds objects."""

    # Queries
    @property
    def exists(self) -> bool:
        """Whether an object of exactly this name exists: one status request.

        A missing bucket raises ``FileNotFoundError("Bucket: '<bucket>' does not exist.")``;
        any other store refusal counts as missing.  ``is_file()`` is the method form.
        """
    def is_dir(self) -> bool:
        """Whether anything lies below the prefix ``<key>/``: one listing request.

        The directory's own marker object (``<key>/``) does not count.
        """
    @property
    def mtime(self) -> datetime.datetime:
        """The object's last modification as a naive local ``datetime``.

        ``FileNotFoundError`` when it is missing.  Two status requests; ``stat()`` gives
        an aware UTC time in one.
        """

    # Content
    def read(self) -> bytes:
        """The whole object as ``bytes``: a status request, then one GET.

        ``FileNotFoundError("'<path>' does not exist in bucket '<bucket>'.")`` when it is
        missing.  The response is closed and its connection released on every path.
        """
    def write(self, data: bytes) -> None:
        """Stores ``data`` (exactly ``bytes``) as the object: one PUT.

        ``write_bytes()`` takes any bytes-like object, ``write_text()`` a ``str``.
        """
    def upload(self, local_path: str) -> None:
        """Copies a local file to this object, or a local directory tree below this path.

        One PUT per file, depth first; empty folders store nothing.
        """

    # Deletion
    def delete(self, recursive: bool = True) -> None:
        """Removes the object, or, for a directory, every object below it in one batch.

        Objects the store refuses to remove are reported on standard output, one line
        each.  ``unlink()`` removes exactly one object and reports a missing one.
        """
    def mkdir(self) -> None:
        """Always raises ``NotImplementedError``: object stores have no directories."""

    # Listing
    def glob(self, pattern: str = "*") -> Generator[MinIOPath, Any, Any]:
        """The entries directly below this path whose full key matches ``pattern``.

        Objects and prefixes, as new ``MinIOPath`` objects, listed lazily (one listing
        request per 1,000 entries).  ``rglob()`` goes to every depth.
        """
