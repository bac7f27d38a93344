"""What a transfer moves, checked before anything changes, and how its tasks run.

Every transfer first decides what it moves (an object, or every object below a prefix,
from one recursive listing; a local file or tree) and checks all of it and every argument,
then hands one task per file to a pool of ``workers`` threads.  The first failure of a
tree cancels the tasks not yet started, waits for those in flight and raises
:class:`quorvex.errors.TransferError`.
"""

from __future__ import annotations

import concurrent.futures
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterable, Optional, Sequence, Union

from minio import Minio
from minio.deleteobjects import DeleteError, DeleteObject
from minio.error import S3Error

from quorvex._progress import Progress
from quorvex.config import EnvConfig, env_name
from quorvex.digests import clean_etag, metadata_md5
from quorvex.errors import NAMED_IN_MESSAGES, TransferError, missing_object, translate
from quorvex.retrying import retry
from quorvex.sizes import DELETE_BATCH
from quorvex.streams import stat_object

__all__ = ["LocalPath", "Remote", "Task", "check_flag", "check_folders", "check_key_text",
           "check_local", "check_workers", "list_below", "object_or_listing", "remove_keys",
           "run_tasks", "run_waves", "stat_or_none", "stat_remote"]

LocalPath = Union[str, "os.PathLike[str]"]



@dataclass(frozen=True)
class Remote:
    """What a listing or a stat tells of one object."""

    key: str
    size: int
    etag: str
    md5: Optional[str] = None  # from the user metadata, when a stat fetched it


# -- the store side ----------------------------------------------------------------------

@retry()
def _list(client: Minio, bucket: str, prefix: str) -> list[Remote]:
    return [Remote(item.object_name or "", int(item.size or 0), clean_etag(item.etag))
            for item in client.list_objects(bucket, prefix=prefix or None, recursive=True)]


def list_below(client: Minio, bucket: str, prefix: str) -> list[Remote]:
    """Every object whose key starts with ``prefix``, from one recursive listing."""
    try:
        return _list(client, bucket, prefix)
    except S3Error as exc:
        raise translate(exc, bucket, prefix.rstrip("/")) from None


def stat_remote(client: Minio, bucket: str, key: str) -> Remote:
    """The object ``key`` with its ``md5`` metadata; FileNotFoundError when missing."""
    stat = stat_object(client, bucket, key)
    return Remote(key, int(stat.size or 0), clean_etag(stat.etag),
                  metadata_md5(stat.metadata))


def stat_or_none(client: Minio, bucket: str, key: str) -> Optional[Remote]:
    """The object ``key``, or None when it is missing."""
    try:
        return stat_remote(client, bucket, key)
    except FileNotFoundError:
        return None


def object_or_listing(client: Minio, bucket: str, key: str, prefix: str,
                      ) -> tuple[Optional[Remote], list[Remote]]:
    """The object ``key``, or else the listing below ``prefix``.

    FileNotFoundError when there is neither (or when the bucket is missing).
    """
    if key:
        remote = stat_or_none(client, bucket, key)
        if remote is not None:
            return remote, []
    listing = list_below(client, bucket, prefix)
    if not listing:
        raise missing_object(key, bucket)
    return None, listing


@retry()
def _remove_batch(client: Minio, bucket: str, keys: list[str]) -> list[DeleteError]:
    # The SDK sends nothing until its generator is drained.
    return list(client.remove_objects(bucket, [DeleteObject(key) for key in keys]))


def remove_keys(client: Minio, bucket: str, keys: list[str], verb: str, what: str) -> None:
    """Removes ``keys`` (``what`` they are, for the messages) with one request per
    DELETE_BATCH keys.

    TransferError naming the keys that were not removed, when the store refused any or a
    batch failed (the batches after a failed one are not sent).
    """
    refused: list[str] = []
    reasons: list[str] = []
    for start in range(0, len(keys), DELETE_BATCH):
        try:
            errors = _remove_batch(client, bucket, keys[start:start + DELETE_BATCH])
        except Exception as exc:
            kept = set(refused)
            left = refused + keys[start:]
            raise TransferError(
                f"{verb}: removing the {what} from bucket '{bucket}' failed "
                f"({type(exc).__name__}: {exc}); {len(left)} of {len(keys)} are still "
                f"there, among them {left[:NAMED_IN_MESSAGES]}",
                [key for key in keys[:start] if key not in kept], left, len(keys)) from exc
        refused.extend(error.name or "" for error in errors)
        reasons.extend(f"{error.name!r} ({error.code}: {error.message})" for error in errors)
    if refused:
        kept = set(refused)
        raise TransferError(
            f"{verb}: bucket '{bucket}' refused to remove {len(refused)} of {len(keys)} "
            f"{what}: {', '.join(reasons[:NAMED_IN_MESSAGES])}",
            [key for key in keys if key not in kept], refused, len(keys))


# -- checks ------------------------------------------------------------------------------

def check_workers(workers: Any, section: str) -> int:
    """``workers`` if it is an int from 1 to the section's pool size."""
    if isinstance(workers, bool) or not isinstance(workers, int):
        raise TypeError(f"workers must be an int, not {type(workers).__name__}")
    limit = EnvConfig.init_configer().client_settings(section).max_connections
    if not 1 <= workers <= limit:
        raise ValueError(
            f"workers must be an int from 1 to the client's pool size {limit}, got "
            f"{workers!r}; the pool size is the setting max_connections "
            f"({env_name(section, 'max_connections')})")
    return workers


def check_local(local_path: Any, what: str) -> Path:
    """``local_path`` (a str or os.PathLike of text, not empty) as a Path."""
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


def check_flag(value: Any, name: str) -> bool:
    """``value`` if it is a bool: a flag such as ``skip_unchanged`` given as "no" or 0
    would otherwise be read by its truth value."""
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


def check_key_text(key: str, source: Path, what: str) -> str:
    """``key`` if it is text a store can hold: ValueError naming ``source`` when it holds
    a name the file system gave as undecodable bytes (surrogate escapes)."""
    try:
        key.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{what}: the name of {str(source)!r} is not valid UTF-8, so it "
                         f"cannot be an object key; nothing was sent") from None
    return key


def check_folders(root: Path, folders: Iterable[Path], what: str,
                  outcome: str = "nothing was written") -> None:
    """Refuses a tree whose writing below ``root`` would leave ``root``.

    ``folders`` are the folders below ``root`` that files go into or are removed from,
    each listed after its parent.  One that exists must be a folder (NotADirectoryError),
    and must not be a link, or lie below one, that leads out of ``root`` (ValueError
    naming the link): a file written or removed there would be outside the target.
    Nothing is changed (the errors end with ``outcome``); a folder that does not exist
    yet is made later below a parent checked here.
    """
    if not os.path.lexists(root):
        return
    base = os.path.realpath(root)
    for folder in folders:
        if not os.path.lexists(folder):
            continue
        real = os.path.realpath(folder)
        if os.path.commonpath([base, real]) != base:
            raise ValueError(f"{what}: {str(folder)!r} is a link to {real!r}, outside the "
                             f"target {str(root)!r}; {outcome}")
        if not os.path.isdir(real):
            raise NotADirectoryError(f"{what}: {str(folder)!r} is in the way of a folder "
                                     f"the download needs; {outcome}")


# -- running many tasks ------------------------------------------------------------------

Task = tuple[str, Callable[[], object]]


def run_tasks(tasks: Sequence[Task], workers: int, verb: str, progress: Progress,
              completed: Optional[list[str]] = None) -> None:
    """Runs ``tasks`` (name, function) on ``workers`` threads; TransferError on a failure.

    The names of the tasks that succeeded are appended to ``completed`` as they finish.
    """
    done: list[str] = [] if completed is None else completed
    start = len(done)
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
                    done.append(futures[future])
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
        ok = done[start:]
        raise TransferError(
            f"{verb} of {first_name!r} failed ({type(first).__name__}: {first}); "
            f"{len(ok)} of {len(tasks)} completed", ok, failed, len(tasks)) from first


def run_waves(waves: Sequence[Sequence[Task]], workers: int, verb: str, progress: Progress,
              completed: Optional[list[str]] = None) -> None:
    """Runs ``waves`` one after the other, each as :func:`run_tasks` runs its tasks.

    A wave starts only once every task of the one before it succeeded.  On the first
    failure the waves not started are dropped, and the TransferError counts the tasks of
    every wave.
    """
    if len(waves) == 1:
        run_tasks(waves[0], workers, verb, progress, completed)
        return
    done: list[str] = [] if completed is None else completed
    start = len(done)
    total = sum(len(wave) for wave in waves)
    for wave in waves:
        try:
            run_tasks(wave, workers, verb, progress, done)
        except TransferError as exc:
            first = exc.__cause__
            ok = done[start:]
            raise TransferError(
                f"{verb} of {exc.failed[0]!r} failed ({type(first).__name__}: {first}); "
                f"{len(ok)} of {total} completed", ok, exc.failed, total) from first
