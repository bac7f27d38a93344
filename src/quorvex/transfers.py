"""Transfers between the local disk and the store, and within the store: download_to,
upload_from, copy and move, file by file in parallel.

Every transfer first decides what it moves (an object, or every object below a prefix,
from one recursive listing; a local file or tree), checks all of it, then hands one task
per file to a pool of ``workers`` threads.  Each task is retried on its own when it fails
transiently.  The first failure of a tree cancels the tasks not yet started, waits for
those in flight and raises :class:`TransferError`; a single-object transfer raises its
failure as it is.

Downloads write to a temporary name beside the target and rename it into place once
complete, so no partial file is ever left under a real name.  Copies are server-side.
"""

from __future__ import annotations

import concurrent.futures
import hashlib
import os
import posixpath
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterable, Optional, Sequence, Union

from minio.commonconfig import CopySource

from quorvex._progress import Progress, ProgressArg
from quorvex.config import EnvConfig, env_name
from quorvex.path_algebra import StorePathMixin
from quorvex.retrying import retry
from quorvex.streams import (MD5_HEADER, PART_SIZE, ObjectWriter, _etag,
                             missing_object_error, multipart_etag, stat_or_missing)

__all__ = ["TransferError", "TransfersMixin"]

LocalPath = Union[str, "os.PathLike[str]"]
DEFAULT_WORKERS = 16
CHUNK = 1024 * 1024
SINGLE_FILE_PARTS_IN_FLIGHT = 4
_TEMP_SUFFIX = ".part"


class TransferError(OSError):
    """A tree transfer that stopped at its first failure.

    ``completed`` and ``failed`` list the keys or local paths (as str) that were done and
    that failed; ``total`` is how many the transfer had to do.  The first failure is the
    ``__cause__``.
    """

    def __init__(self, message: str, completed: Sequence[str], failed: Sequence[str],
                 total: int) -> None:
        super().__init__(message)
        self.completed = list(completed)
        self.failed = list(failed)
        self.total = total

    def __reduce__(self) -> Any:
        return (type(self), (self.args[0], self.completed, self.failed, self.total))


# -- local digests -----------------------------------------------------------------------

@dataclass(frozen=True)
class Remote:
    """What a listing or a stat tells of one object."""

    key: str
    size: int
    etag: str
    md5: Optional[str] = None  # from the user metadata, when a stat fetched it


def local_digests(path: Path) -> tuple[str, str]:
    """The hex MD5 of a file, and the ETag this module's uploads give it in parts."""
    whole = hashlib.md5()
    parts: list[bytes] = []
    with open(path, "rb") as stream:
        while True:
            block = stream.read(PART_SIZE)
            if not block:
                break
            whole.update(block)
            parts.append(hashlib.md5(block).digest())
    return whole.hexdigest(), multipart_etag(parts)


def _plain_md5(etag: str) -> bool:
    return len(etag) == 32 and all(c in "0123456789abcdef" for c in etag.lower())


def same_bytes(remote: Remote, md5: str, parts_etag: str) -> Optional[bool]:
    """Whether ``remote`` holds the bytes whose digests are given; None when unknown."""
    if _plain_md5(remote.etag):
        return remote.etag.lower() == md5
    if remote.md5 is not None:
        return remote.md5.lower() == md5
    if "-" in remote.etag and remote.etag.lower() == parts_etag:
        return True
    return None


def _stat_remote(client: Any, bucket: Optional[str], key: str) -> Remote:
    stat = stat_or_missing(client, bucket, key)
    md5 = (stat.metadata or {}).get(MD5_HEADER)
    return Remote(key, int(stat.size), _etag(stat.etag), md5)


def _unchanged(client: Any, bucket: Optional[str], remote: Optional[Remote],
               local: Path) -> bool:
    """Whether the file ``local`` and the object ``remote`` hold the same bytes."""
    if remote is None:
        return False
    try:
        if local.stat().st_size != remote.size:
            return False
    except FileNotFoundError:
        return False
    md5, parts_etag = local_digests(local)
    verdict = same_bytes(remote, md5, parts_etag)
    if verdict is None and remote.md5 is None:
        # The listing's ETag does not answer: the user metadata may.
        try:
            verdict = same_bytes(_stat_remote(client, bucket, remote.key), md5, parts_etag)
        except FileNotFoundError:
            return False
    return bool(verdict)


# -- the store side ----------------------------------------------------------------------

@retry()
def _list(client: Any, bucket: Optional[str], prefix: str) -> list[Remote]:
    return [Remote(item.object_name, int(item.size or 0), _etag(item.etag))
            for item in client.list_objects(bucket, prefix=prefix or None, recursive=True)]


def _prefix_of(key: str) -> str:
    """The listing prefix of everything below ``key`` ("" for the bucket's root)."""
    key = key.strip("/")
    return f"{key}/" if key and key != "." else ""


@retry()
def _download_one(client: Any, bucket: Optional[str], remote: Remote, target: Path,
                  progress: Progress) -> None:
    """``remote`` into the file ``target``, through a temporary file renamed into place."""
    target.parent.mkdir(parents=True, exist_ok=True)
    handle, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=_TEMP_SUFFIX,
                                         dir=target.parent)
    reported = 0
    try:
        with os.fdopen(handle, "wb") as stream:
            response = client.get_object(bucket, remote.key)
            try:
                while True:
                    chunk = response.read(CHUNK)
                    if not chunk:
                        break
                    stream.write(chunk)
                    reported += len(chunk)
                    progress.advance(len(chunk))
            finally:
                response.close()
                response.release_conn()
        if reported != remote.size:
            raise ConnectionError(f"'{remote.key}' came with {reported} bytes, "
                                  f"{remote.size} expected")
        os.replace(temporary, target)
    except BaseException:
        progress.advance(-reported)
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


@retry()
def _upload_one(client: Any, bucket: Optional[str], key: str, source: Path,
                progress: Progress, parts_in_flight: int = 1) -> None:
    size = source.stat().st_size
    md5 = local_digests(source)[0] if size > PART_SIZE else None
    reported = 0
    writer = ObjectWriter(client, bucket, key, md5=md5, parts_in_flight=parts_in_flight)
    try:
        with open(source, "rb") as stream:
            while True:
                block = stream.read(PART_SIZE)
                if not block:
                    break
                writer.write(block)
                reported += len(block)
                progress.advance(len(block))
        writer.close()
    except BaseException:
        writer.abort()
        progress.advance(-reported)
        raise


@retry()
def _copy_one(client: Any, bucket: Optional[str], source_key: str,
              target_bucket: Optional[str], target_key: str) -> None:
    client.copy_object(target_bucket, target_key,
                       CopySource(bucket, source_key))  # type: ignore[arg-type]


@retry()
def _remove_one(client: Any, bucket: Optional[str], key: str) -> None:
    client.remove_object(bucket, key)


# -- checks ------------------------------------------------------------------------------

def _check_workers(workers: Any, section: str) -> int:
    if isinstance(workers, bool) or not isinstance(workers, int):
        raise TypeError(f"workers must be an int, not {type(workers).__name__}")
    limit = EnvConfig.init_configer().client_settings(section).max_connections
    if not 1 <= workers <= limit:
        raise ValueError(
            f"workers must be an int from 1 to the client's pool size {limit}, got "
            f"{workers!r}; the pool size is the setting max_connections "
            f"({env_name(section, 'max_connections')})")
    return workers


def _local(local_path: Any, what: str) -> Path:
    if isinstance(local_path, (bytes, bytearray)) or \
            not isinstance(local_path, (str, os.PathLike)):
        raise TypeError(f"{what} takes a str or os.PathLike local path, not "
                        f"{type(local_path).__name__}")
    text = os.fspath(local_path)
    if not isinstance(text, str):
        raise TypeError(f"{what} takes a text local path, not {type(text).__name__}")
    if not text:
        raise ValueError(f"{what} takes a non-empty local path")
    return Path(text)


def _relative_parts(key: str, prefix: str) -> list[str]:
    """The local path components of ``key`` below ``prefix``; ValueError when unsafe."""
    relative = key[len(prefix):]
    parts = relative.split("/")
    if relative.endswith("/"):
        parts = parts[:-1]  # a folder marker
    if not relative or relative.startswith("/") or \
            any(part in ("", ".", "..") or "\0" in part for part in parts):
        raise ValueError(f"the key {key!r} cannot be stored below the target directory: "
                         f"it has an empty, '.' or '..' component or an absolute name")
    return parts


def _local_plan(listing: Iterable[Remote], prefix: str, root: Path,
                ) -> tuple[list[tuple[Remote, Path]], list[Path]]:
    """The files and the folders a download of ``listing`` makes below ``root``.

    Every key is checked before anything is written: one that would land outside
    ``root``, or where another key needs a folder, raises ValueError naming it.
    """
    files: dict[tuple[str, ...], Remote] = {}
    folders: dict[tuple[str, ...], str] = {}
    for remote in listing:
        parts = tuple(_relative_parts(remote.key, prefix))
        for depth in range(1, len(parts)):
            folders.setdefault(parts[:depth], remote.key)
        if remote.key.endswith("/"):
            folders.setdefault(parts, remote.key)
        else:
            files[parts] = remote
    for parts, remote in files.items():
        if parts in folders:
            raise ValueError(f"the key {remote.key!r} and the key {folders[parts]!r} need "
                             f"the same local name as a file and as a folder")
    plan = [(remote, root.joinpath(*parts)) for parts, remote in files.items()]
    return plan, [root.joinpath(*parts) for parts in folders]


# -- running many tasks ------------------------------------------------------------------

Task = tuple[str, Callable[[], object]]


def run_tasks(tasks: Sequence[Task], workers: int, verb: str, progress: Progress) -> None:
    """Runs ``tasks`` (name, function) on ``workers`` threads; TransferError on a failure."""
    completed: list[str] = []
    failed: list[str] = []
    first: Optional[BaseException] = None
    first_name = ""
    with concurrent.futures.ThreadPoolExecutor(
            max_workers=min(workers, max(1, len(tasks))),
            thread_name_prefix="quorvex-transfer") as pool:
        futures = {pool.submit(function): name for name, function in tasks}
        try:
            for future in concurrent.futures.as_completed(futures):
                if future.cancelled():
                    continue
                error = future.exception()
                if error is None:
                    completed.append(futures[future])
                    progress.file_done()
                    continue
                failed.append(futures[future])
                if first is None:
                    first, first_name = error, futures[future]
                    for other in futures:
                        other.cancel()
        except BaseException:
            for other in futures:
                other.cancel()
            raise
    if first is not None:
        raise TransferError(
            f"{verb} of {first_name!r} failed ({type(first).__name__}: {first}); "
            f"{len(completed)} of {len(tasks)} completed", completed, failed,
            len(tasks)) from first


class TransfersMixin(StorePathMixin):
    """Moving many objects and files at once."""

    __slots__ = ()

    # -- what a path names -------------------------------------------------------------

    def _key(self) -> str:
        key = self.path.as_posix()
        return "" if key in ("/", ".") else key

    def _object_or_listing(self, client: Any, bucket: Optional[str],
                           ) -> tuple[Optional[Remote], list[Remote], str]:
        """This path's object, or else the listing below its prefix (and the prefix).

        FileNotFoundError when there is neither.
        """
        key = self._key()
        if key:
            try:
                return _stat_remote(client, bucket, key), [], ""
            except FileNotFoundError:
                pass
        prefix = _prefix_of(key)
        listing = _list(client, bucket, prefix)
        if not listing:
            raise missing_object_error(key or "/", bucket)
        return None, listing, prefix

    def _target_key(self, target: Any) -> tuple[Any, str]:
        if isinstance(target, str):
            target = type(self)(path=target)
        if type(target) is not type(self):
            raise TypeError(f"the target must be a {type(self).__name__} or a str, not "
                            f"{type(target).__name__}")
        return target, target._key()

    # -- the transfers -----------------------------------------------------------------

    def download_to(self, local_path: LocalPath, *, workers: int = DEFAULT_WORKERS,
                    progress: ProgressArg = None, skip_unchanged: bool = False) -> None:
        """This object into a local file, or every object below this prefix into a tree.

        A directory target takes the object under its own name.  Files are written to a
        temporary name beside the target and renamed into place when complete; parent
        folders are made as needed.  Keys that would land outside ``local_path`` raise
        ValueError before anything is written.  With ``skip_unchanged``, a file that
        already holds the object's bytes (same size and MD5) is not fetched again.
        """
        root = _local(local_path, "download_to")
        workers = _check_workers(workers, self._current_section())
        client, bucket = self.client, self.bucket_name
        remote, listing, prefix = self._object_or_listing(client, bucket)
        if remote is not None:
            target = root / posixpath.basename(remote.key) if root.is_dir() else root
            meter = Progress(progress, remote.size, 1, "download")
            try:
                if not (skip_unchanged and _unchanged(client, bucket, remote, target)):
                    _download_one(client, bucket, remote, target, meter)
                else:
                    meter.advance(remote.size)
                meter.file_done()
            finally:
                meter.close()
            return
        plan, folders = _local_plan(listing, prefix, root)
        if root.exists() and not root.is_dir():
            raise NotADirectoryError(f"download_to of a prefix needs a directory, and "
                                     f"{str(root)!r} is a file")
        for folder in folders:
            folder.mkdir(parents=True, exist_ok=True)
        root.mkdir(parents=True, exist_ok=True)
        meter = Progress(progress, sum(r.size for r, _ in plan), len(plan), "download")

        def task(item: Remote, target: Path) -> Callable[[], None]:
            def run() -> None:
                if skip_unchanged and _unchanged(client, bucket, item, target):
                    meter.advance(item.size)
                    return
                _download_one(client, bucket, item, target, meter)
            return run

        try:
            run_tasks([(item.key, task(item, target)) for item, target in plan], workers,
                      "download", meter)
        finally:
            meter.close()

    def upload_from(self, local_path: LocalPath, *, workers: int = DEFAULT_WORKERS,
                    progress: ProgressArg = None, skip_unchanged: bool = False) -> None:
        """A local file to this object, or a local tree below this path, in parallel.

        The objects are those ``upload()`` makes (empty folders store nothing).  Files
        over 8 MiB go in parts.  With ``skip_unchanged``, a file whose bytes the store
        already holds (same size and MD5, from one recursive listing) is not sent again.
        """
        source = _local(local_path, "upload_from")
        workers = _check_workers(workers, self._current_section())
        client, bucket = self.client, self.bucket_name
        key = self._key()
        if not source.is_dir():
            if not key:
                raise ValueError("upload_from of a file needs an object name, not the "
                                 "bucket's root")
            size = source.stat().st_size  # FileNotFoundError for a missing file
            meter = Progress(progress, size, 1, "upload")
            try:
                if skip_unchanged and _unchanged(
                        client, bucket, _stat_or_none(client, bucket, key), source):
                    meter.advance(size)
                else:
                    # One file: its parts go side by side (a tree has its files for that).
                    _upload_one(client, bucket, key, source, meter,
                                min(workers, SINGLE_FILE_PARTS_IN_FLIGHT))
                meter.file_done()
            finally:
                meter.close()
            return
        files = _walk_files(source)
        prefix = _prefix_of(key)
        known: dict[str, Remote] = {}
        if skip_unchanged:
            known = {item.key: item for item in _list(client, bucket, prefix)}
        sizes = {path: path.stat().st_size for _, path in files}
        meter = Progress(progress, sum(sizes.values()), len(files), "upload")

        def task(name: str, path: Path) -> Callable[[], None]:
            def run() -> None:
                if skip_unchanged and _unchanged(client, bucket, known.get(name), path):
                    meter.advance(sizes[path])
                    return
                _upload_one(client, bucket, name, path, meter)
            return run

        try:
            run_tasks([(str(path), task(prefix + relative, path))
                       for relative, path in files], workers, "upload", meter)
        finally:
            meter.close()

    def copy(self, target: Any, *, workers: int = DEFAULT_WORKERS,
             progress: ProgressArg = None) -> Any:
        """Copies this object, or every object below this prefix, to ``target``.

        The copy is server-side: no object's bytes pass through the client.  ``target``
        is a path of this class or a key; it is returned as a path.
        """
        return self._copy_or_move(target, workers, progress, move=False)

    def move(self, target: Any, *, workers: int = DEFAULT_WORKERS,
             progress: ProgressArg = None) -> Any:
        """Moves this object, or every object below this prefix, to ``target``.

        Each source is removed only after its copy succeeded; on a failure every source
        not copied stays where it was.
        """
        return self._copy_or_move(target, workers, progress, move=True)

    def _copy_or_move(self, target: Any, workers: int, progress: ProgressArg,
                      move: bool) -> Any:
        target, target_key = self._target_key(target)
        workers = _check_workers(workers, self._current_section())
        client, bucket = self.client, self.bucket_name
        target_bucket = target.bucket_name
        if target_key == self._key() and target_bucket == bucket:
            raise ValueError(f"cannot {'move' if move else 'copy'} '{self._key() or '/'}' "
                             f"onto itself")
        remote, listing, prefix = self._object_or_listing(client, bucket)
        verb = "move" if move else "copy"

        def one(source_key: str, destination: str) -> Callable[[], None]:
            def run() -> None:
                _copy_one(client, bucket, source_key, target_bucket, destination)
                if move:
                    _remove_one(client, bucket, source_key)
            return run

        if remote is not None:
            if not target_key:
                raise ValueError(f"cannot {verb} an object onto the bucket's root")
            meter = Progress(progress, remote.size, 1, verb)
            try:
                one(remote.key, target_key)()
                meter.advance(remote.size)
                meter.file_done()
            finally:
                meter.close()
            return target
        target_prefix = _prefix_of(target_key)
        if move and target_bucket == bucket and target_prefix.startswith(prefix) and \
                target_prefix != prefix:
            raise ValueError(f"cannot move '{prefix}' into '{target_prefix}', which is "
                             f"below it")
        meter = Progress(progress, sum(item.size for item in listing), len(listing), verb)
        sizes = {item.key: item.size for item in listing}

        def counted(key: str, run: Callable[[], None]) -> Callable[[], None]:
            def counted_run() -> None:
                run()
                meter.advance(sizes[key])
            return counted_run

        try:
            run_tasks([(item.key, counted(item.key, one(
                item.key, target_prefix + item.key[len(prefix):]))) for item in listing],
                workers, verb, meter)
        finally:
            meter.close()
        return target


def _stat_or_none(client: Any, bucket: Optional[str], key: str) -> Optional[Remote]:
    try:
        return _stat_remote(client, bucket, key)
    except FileNotFoundError:
        return None


def _walk_files(root: Path) -> list[tuple[str, Path]]:
    """Every file below ``root`` as (POSIX path relative to root, path), sorted.

    Links to folders are followed, as ``upload()`` follows them; one that leads back to a
    folder being walked raises ValueError instead of walking forever, and so does an entry
    that cannot be read as a file (a broken link, a pipe), before anything is sent.
    """
    found: list[tuple[str, Path]] = []

    def walk(folder: Path, relative: str, above: frozenset[tuple[int, int]]) -> None:
        info = folder.stat()
        identity = (info.st_dev, info.st_ino)
        if identity in above:
            raise ValueError(f"upload_from: {str(folder)!r} links back to a folder above it")
        with os.scandir(folder) as entries:
            ordered = sorted(entries, key=lambda entry: entry.name)
        for entry in ordered:
            name = relative + entry.name
            if entry.is_dir():
                walk(Path(entry.path), name + "/", above | {identity})
            elif entry.is_file():
                found.append((name, Path(entry.path)))
            else:
                raise ValueError(f"upload_from: {entry.path!r} is neither a file nor a "
                                 f"folder (a broken link, a pipe or a device)")

    walk(root, "", frozenset())
    return found
