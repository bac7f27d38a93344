"""Transfers between the local disk and the store: download_to and upload_from, file by
file in parallel (what is moved, and how the tasks run, is planned in quorvex.plans).

Each file's task is retried on its own when it fails transiently; a single-object
transfer raises its failure as it is.  Downloads write to a temporary name beside the
target and rename it into place once complete, so no partial file is ever left under a
real name.  The temporary name (:func:`_temp_name`) has a fixed length, so any name the
file system takes can be downloaded, and carries the writer's process id: a later
download into the same folder removes what a killed one left, and ``upload_from`` never
sends such a file.
"""

from __future__ import annotations

import concurrent.futures
import os
import posixpath
import re
import secrets
from pathlib import Path
from typing import Any, Callable, Iterable, Optional, TypeVar

from minio import Minio
from minio.datatypes import Part
from minio.error import S3Error

from quorvex import engine as engines
from quorvex._progress import Progress, ProgressArg, check_progress
from quorvex.digests import clean_etag, file_md5, is_plain_md5, local_matches
from quorvex.errors import NAMED_IN_MESSAGES, TransferError, translate
from quorvex.path_algebra import REFUSED_COMPONENTS, StorePathMixin
from quorvex.plans import (LocalPath, Remote, check_flag, check_folders, check_key_text,
                           check_local, check_workers, list_below, object_or_listing,
                           remove_keys, run_tasks, stat_or_none, stat_remote)
from quorvex.retrying import retry
from quorvex.sizes import (CHUNK, DEFAULT_WORKERS, MAX_PARTS, PART_SIZE, RANGE_LIMIT,
                           SINGLE_FILE_PARTS_IN_FLIGHT)
from quorvex.streams import ObjectWriter, _abort_upload, _complete_upload, _create_upload

__all__ = ["TransfersMixin"]

# The temporary file of a download in progress: ".quorvex-<pid>-<16 hex>.part".
_TEMP_NAME = re.compile(r"\.quorvex-([0-9]{1,10})-[0-9a-f]{16}\.part")
# What open() gives a new file: the kernel takes the umask off.
_FILE_MODE = 0o666


def _temp_name() -> str:
    """A fresh temporary name for a download by this process."""
    return f".quorvex-{os.getpid()}-{secrets.token_hex(8)}.part"


def _is_temp_name(name: str) -> bool:
    """Whether ``name`` is the temporary name of a download of ours."""
    return _TEMP_NAME.fullmatch(name) is not None


def _writer_gone(name: str) -> bool:
    """Whether the process that wrote the temporary file ``name`` has ended."""
    if os.name != "posix":
        return False  # no harmless way to ask; the file is left alone
    match = _TEMP_NAME.fullmatch(name)
    pid = int(match.group(1)) if match else 0
    if pid <= 0 or pid == os.getpid():
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except (OSError, OverflowError):
        return False  # another user's process, or no pid at all: not ours to judge
    return False


def _remove_leftovers(folders: Iterable[Path]) -> None:
    """Removes the temporary files that downloads of ended processes left in ``folders``."""
    for folder in folders:
        try:
            entries = list(os.scandir(folder))
        except (FileNotFoundError, NotADirectoryError):
            continue
        for entry in entries:
            if _is_temp_name(entry.name) and entry.is_file(follow_symlinks=False) and \
                    _writer_gone(entry.name):
                try:
                    os.unlink(entry.path)
                except FileNotFoundError:
                    pass  # another download removed it first


def _unchanged(client: Minio, bucket: str, remote: Optional[Remote], local: Path) -> bool:
    """Whether the file ``local`` and the object ``remote`` hold the same bytes."""
    if remote is None:
        return False
    try:
        verdict = local_matches(local, remote.size, remote.etag, remote.md5)
        if verdict is None and remote.md5 is None:
            # The listing's ETag does not answer: the user metadata may.
            again = stat_or_none(client, bucket, remote.key)
            if again is None:
                return False
            verdict = local_matches(local, again.size, again.etag, again.md5)
    except FileNotFoundError:
        return False
    return bool(verdict)


@retry()
def _download_one(client: Minio, bucket: str, remote: Remote, target: Path,
                  progress: Progress) -> None:
    """``remote`` into the file ``target``, through a temporary file renamed into place."""
    target.parent.mkdir(parents=True, exist_ok=True)
    temporary = target.parent / _temp_name()
    # O_EXCL creates a new file and never follows a link planted under the name.
    handle = os.open(temporary, os.O_CREAT | os.O_EXCL | os.O_WRONLY, _FILE_MODE)
    reported = 0
    try:
        with os.fdopen(handle, "wb") as stream:
            try:
                response = client.get_object(bucket, remote.key)
            except S3Error as exc:
                raise translate(exc, bucket, remote.key) from None
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
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        progress.take_back(reported)
        raise


@retry()
def _upload_one(client: Minio, bucket: str, key: str, source: Path,
                progress: Progress, parts_in_flight: int = 1) -> None:
    size = source.stat().st_size
    md5 = file_md5(source) if size > PART_SIZE else None
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
    except BaseException as exc:
        writer.abort()
        progress.take_back(reported)
        if isinstance(exc, S3Error):
            raise translate(exc, bucket, key) from None
        raise


# -- the engine's path --------------------------------------------------------------------
#
# With the transfer engine, Python plans each file's requests (one GET or PUT, or one per
# part of PART_SIZE for a larger one), the engine sends them all on ``workers``
# connections, and each file is finished here (checked, renamed, its upload completed) as
# soon as its last request is done.  The first failure cancels what has not finished; the
# files it leaves unfinished are cleaned up (temporary files removed, uploads aborted).

def _cut(size: int, part: int = PART_SIZE) -> list[tuple[int, int]]:
    """The (start, length) parts of ``part`` bytes that ``size`` bytes go in (one when
    empty)."""
    return [(start, min(part, size - start)) for start in range(0, size, part)] or [(0, 0)]


def _download_range(size: int, workers: int) -> int:
    """The ranges a large object is fetched in: one per worker, of whole MiB, at least
    PART_SIZE and at most RANGE_LIMIT (fewer requests, and each store lookup pays for more
    bytes; a failed range is fetched again whole, so it stays bounded)."""
    share = -(-size // max(1, workers))
    return min(RANGE_LIMIT, max(PART_SIZE, -(-share >> 20) << 20))


class _Job:
    """One file of a batch of the engine: its tasks, and how it is finished or undone."""

    def __init__(self, name: str, key: str, size: int) -> None:
        self.name = name  # as a failure names it: the key, or the local path
        self.key = key
        self.size = size
        self.tasks: list[int] = []
        self.left = 0
        self.results: dict[int, engines.Result] = {}
        self.finished = False

    def finish(self) -> None:
        """Once every task succeeded."""

    def undo(self) -> None:
        """When the batch stopped before this file was finished."""


def _run_jobs(engine: Any, client: Minio, bucket: str, jobs: list[_Job],
              tasks: list[engines.Task], workers: int, meter: Progress, verb: str,
              single: bool) -> None:
    """Runs the tasks of ``jobs``; each job is finished as its last task succeeds.

    A failure raises as it is for a single file (``single``), else as the TransferError of
    a tree transfer naming what was done.
    """
    owner: dict[int, _Job] = {}
    for job in jobs:
        job.left = len(job.tasks)
        for index in job.tasks:
            owner[index] = job
    done: list[str] = []
    failure: list[tuple[BaseException, _Job]] = []  # a job that could not be finished

    def on_done(finished: list[tuple[int, engines.Result]]) -> None:
        for index, result in finished:
            job = owner[index]
            job.results[index] = result
            if not result["ok"]:
                continue
            job.left -= 1
            if job.left == 0:
                try:
                    job.finish()
                except Exception as exc:
                    failure.append((exc, job))
                    raise  # stops the batch
                job.finished = True
                done.append(job.name)
                meter.file_done()

    try:
        results = engines.run(engine, tasks, workers, meter, on_done, stop_on_failure=True)
        first = engines.first_failure(results)
    except BaseException as exc:
        if failure and exc is failure[0][0]:
            first = None
        elif isinstance(exc, Exception) and not single:
            # The progress callable raised: the file it was told of is not known, so the
            # failure names the first one not finished.
            failure.append((exc, next((job for job in jobs if not job.finished), jobs[0])))
            first = None
        else:
            _undo(jobs, meter)
            raise
    if first is None and not failure:
        return
    if failure:
        error, job = failure[0]
    else:
        assert first is not None
        job = owner[next(i for i, result in enumerate(results) if result is first)]
        error = engines.error_of(first, client, bucket, job.key)
    failed = [job.name] + [other.name for other in jobs if other is not job and
                           not other.finished and any(not r["ok"] and r["kind"] != "cancelled"
                                                      for r in other.results.values())]
    _undo(jobs, meter)
    if single:
        raise error
    raise TransferError(f"{verb} of {job.name!r} failed ({type(error).__name__}: {error}); "
                        f"{len(done)} of {len(jobs)} completed",
                        done, failed, len(jobs)) from error


def _undo(jobs: list[_Job], meter: Progress) -> None:
    for job in jobs:
        if not job.finished:
            meter.take_back(sum(r["reported"] for r in job.results.values()))
            job.undo()


class _DownloadJob(_Job):
    def __init__(self, remote: Remote, target: Path, ranged: bool) -> None:
        super().__init__(remote.key, remote.key, remote.size)
        self.remote = remote
        self.target = target
        self.temporary = target.parent / _temp_name()
        self.ranged = ranged

    def finish(self) -> None:
        received = sum(r["bytes"] for r in self.results.values())
        if received != self.size:
            raise ConnectionError(f"'{self.key}' came with {received} bytes, "
                                  f"{self.size} expected")
        etag = clean_etag(next(iter(self.results.values()))["etag"]).lower()
        if is_plain_md5(etag):
            md5 = file_md5(self.temporary) if self.ranged else \
                next(iter(self.results.values()))["md5"]
            if md5 is not None and md5 != etag:
                raise ConnectionError(f"the bytes of '{self.key}' that came do not have the "
                                      f"MD5 its ETag says ({md5} against {etag})")
        os.replace(self.temporary, self.target)

    def undo(self) -> None:
        try:
            os.unlink(self.temporary)
        except FileNotFoundError:
            pass


def _engine_download(engine: Any, client: Minio, bucket: str,
                     plan: list[tuple[Remote, Path]], workers: int, meter: Progress,
                     single: bool) -> None:
    """The objects of ``plan`` into their files, through temporary files renamed into place."""
    region = engines.region_of(client, bucket)
    jobs: list[_Job] = []
    tasks: list[engines.Task] = []
    try:
        for remote, target in plan:
            if single:
                target.parent.mkdir(parents=True, exist_ok=True)
            ranged = remote.size > PART_SIZE
            job = _DownloadJob(remote, target, ranged)
            jobs.append(job)
            base = {"op": "get", "bucket": bucket, "key": remote.key, "region": region,
                    "path": str(job.temporary), "mode": _FILE_MODE}
            if not ranged:
                job.tasks.append(len(tasks))
                tasks.append({**base, "md5": is_plain_md5(remote.etag.lower())})
                continue
            # The file is made here (O_EXCL: never over a link planted under its name), and
            # its parts written into it at their offsets.
            os.close(os.open(job.temporary, os.O_CREAT | os.O_EXCL | os.O_WRONLY, _FILE_MODE))
            for start, length in _cut(remote.size, _download_range(remote.size, workers)):
                job.tasks.append(len(tasks))
                tasks.append({**base, "create": False, "offset": start,
                              "range": (start, length), "if_match": f'"{remote.etag}"'})
    except BaseException:
        _undo(jobs, meter)
        raise
    _run_jobs(engine, client, bucket, jobs, tasks, workers, meter, "download", single)


class _UploadJob(_Job):
    def __init__(self, client: Minio, bucket: str, key: str, size: int, name: str) -> None:
        super().__init__(name, key, size)
        self.client = client
        self.bucket = bucket
        self.upload_id: Optional[str] = None

    def finish(self) -> None:
        if self.upload_id is None:
            return
        parts = [Part(number + 1, clean_etag(self.results[index]["etag"]))
                 for number, index in enumerate(self.tasks)]
        _complete_upload(self.client, self.bucket, self.key, self.upload_id, parts)
        self.upload_id = None

    def undo(self) -> None:
        if self.upload_id is not None:
            try:
                _abort_upload(self.client, self.bucket, self.key, self.upload_id)
            except Exception:  # noqa: BLE001 - the failure being raised is the one to report
                pass  # abort_uploads() finds it later


def _engine_upload(engine: Any, client: Minio, bucket: str,
                   files: list[tuple[str, Path, int]], workers: int, meter: Progress,
                   single: bool) -> None:
    """The files of ``files`` (key, path, size) to their objects; larger ones in parts."""
    region = engines.region_of(client, bucket)
    headers = {"content-type": "application/octet-stream"}
    jobs: list[_Job] = []
    tasks: list[engines.Task] = []
    try:
        for key, source, size in files:
            job = _UploadJob(client, bucket, key, size, key if single else str(source))
            jobs.append(job)
            base = {"op": "put", "bucket": bucket, "key": key, "region": region,
                    "path": str(source), "headers": headers}
            if size <= PART_SIZE:
                job.tasks.append(len(tasks))
                tasks.append({**base, "length": size})
                continue
            if size > PART_SIZE * MAX_PARTS:
                raise ValueError(f"'{key}' would need more than {MAX_PARTS} parts of "
                                 f"{PART_SIZE} bytes")
            try:
                job.upload_id = _create_upload(client, bucket, key,
                                               {"Content-Type": headers["content-type"]})
            except S3Error as exc:
                raise translate(exc, bucket, key) from None
            for number, (start, length) in enumerate(_cut(size), 1):
                job.tasks.append(len(tasks))
                tasks.append({**base, "offset": start, "length": length,
                              "upload_id": job.upload_id, "part_number": number})
    except BaseException:
        _undo(jobs, meter)
        raise
    _run_jobs(engine, client, bucket, jobs, tasks, workers, meter, "upload", single)


_Item = TypeVar("_Item", bound=tuple[Any, ...])


def _changed(items: list[_Item], workers: int, meter: Progress,
             unchanged: Callable[..., bool], size: Callable[..., int]) -> list[_Item]:
    """The items that ``unchanged`` (asked on ``workers`` threads) does not pass; those it
    passes count as done in ``meter``."""
    with concurrent.futures.ThreadPoolExecutor(
            max_workers=max(1, min(workers, len(items))),
            thread_name_prefix="quorvex-compare") as pool:
        verdicts = list(pool.map(lambda item: unchanged(*item), items))
    left = []
    for item, same in zip(items, verdicts):
        if same:
            meter.advance(size(*item))
            meter.file_done()
        else:
            left.append(item)
    return left


# -- checks ------------------------------------------------------------------------------

def _relative_parts(key: str, prefix: str) -> list[str]:
    """The local path components of ``key`` below ``prefix``; ValueError when unsafe."""
    relative = key[len(prefix):]
    parts = relative.split("/")
    if relative.endswith("/"):
        parts = parts[:-1]  # a folder marker
    if not relative or relative.startswith("/") or \
            any(part in REFUSED_COMPONENTS or "\0" in part for part in parts):
        raise ValueError(f"the key {key!r} cannot be stored below the target directory: "
                         f"it has an empty, '.' or '..' component or an absolute name")
    return parts


def _local_plan(listing: Iterable[Remote], prefix: str, root: Path,
                ) -> tuple[list[tuple[Remote, Path]], list[Path]]:
    """The files and the folders a download of ``listing`` makes below ``root``.

    Every key is checked before anything is written: one that would land outside
    ``root``, or where another key needs a folder, raises ValueError naming it.  Folder
    markers (keys ending in "/") make at most their folder: the prefix's own marker
    makes nothing.  The folders come each after its parent.
    """
    files: dict[tuple[str, ...], Remote] = {}
    folders: dict[tuple[str, ...], str] = {}
    markers: dict[tuple[str, ...], str] = {}
    for remote in listing:
        if remote.key == prefix:
            continue  # the marker of the folder being downloaded: that folder is root
        parts = tuple(_relative_parts(remote.key, prefix))
        if remote.key.endswith("/"):
            markers[parts] = remote.key
            continue
        for depth in range(1, len(parts)):
            folders.setdefault(parts[:depth], remote.key)
        files[parts] = remote
    for parts, key in markers.items():
        # A marker where a file goes, or below one, yields to the file.
        if not any(parts[:depth] in files for depth in range(1, len(parts) + 1)):
            for depth in range(1, len(parts) + 1):
                folders.setdefault(parts[:depth], key)
    for parts, remote in files.items():
        if parts in folders:
            raise ValueError(f"the key {remote.key!r} and the key {folders[parts]!r} need "
                             f"the same local name as a file and as a folder")
    plan = [(remote, root.joinpath(*parts)) for parts, remote in files.items()]
    return plan, [root.joinpath(*parts) for parts in folders]


# -- mirroring ---------------------------------------------------------------------------

def _stale_keys(listing: Iterable[Remote], prefix: str, files: set[str],
                folders: set[str]) -> list[str]:
    """The keys below ``prefix`` that a mirror of a local tree removes.

    Those are the objects that no file of ``files`` maps to and the folder markers of no
    folder in ``folders`` (both relative to the tree, POSIX).  The prefix's own marker
    stays, and so does a key that no local path could name (an empty, "." or ".."
    component): no upload makes one, so none is taken for stale.
    """
    stale = []
    for item in listing:
        relative = item.key[len(prefix):]
        if not relative or not item.key.startswith(prefix):
            continue
        try:
            _relative_parts(item.key, prefix)
        except ValueError:
            continue
        if relative.endswith("/"):
            if relative[:-1] not in folders:
                stale.append(item.key)
        elif relative not in files:
            stale.append(item.key)
    return stale


def _stale_files(root: Path, wanted: set[Path]) -> list[Path]:
    """The regular files below ``root`` not in ``wanted``, sorted.

    Links are never followed (neither a link nor what lies behind it is stale); a folder
    that cannot be read raises its OSError, before anything changes.  The temporary files
    of downloads still running are left out.
    """
    if not root.is_dir():
        return []
    found: list[Path] = []
    pending = [root]
    while pending:
        folder = pending.pop()
        with os.scandir(folder) as entries:
            for entry in entries:
                path = Path(entry.path)
                if entry.is_dir(follow_symlinks=False):
                    pending.append(path)
                elif entry.is_file(follow_symlinks=False) and path not in wanted and \
                        (not _is_temp_name(entry.name) or _writer_gone(entry.name)):
                    found.append(path)
    return sorted(found)


def _remove_stale(root: Path, stale: list[Path], kept: set[Path]) -> None:
    """Removes the files ``stale`` below ``root``, then the folders that leaves empty.

    A folder in ``kept`` (one the download made or wrote into) and ``root`` stay.  Each
    folder is checked again first: one that has become a link out of ``root`` stops the
    removal before any file is removed.  TransferError naming the files that could not be
    removed, once every other one was.
    """
    parents = sorted({path.parent for path in stale}, key=lambda folder: len(folder.parts))
    check_folders(root, parents, "download_to", "no local file was removed")
    removed: list[str] = []
    failed: list[str] = []
    reasons: list[str] = []
    for path in stale:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass  # gone already: nothing left to remove
        except OSError as exc:
            failed.append(str(path))
            reasons.append(f"{str(path)!r} ({type(exc).__name__}: {exc.strerror or exc})")
            continue
        removed.append(str(path))
    for folder in reversed(parents):
        while folder not in kept and root in folder.parents:
            try:
                os.rmdir(folder)  # only an empty one goes
            except OSError:
                break
            folder = folder.parent
    if failed:
        raise TransferError(
            f"download_to: {len(failed)} of {len(stale)} local files that no object maps to "
            f"could not be removed: {', '.join(reasons[:NAMED_IN_MESSAGES])}",
            removed, failed, len(stale))


class TransfersMixin(StorePathMixin):
    """Moving many objects and files at once."""

    __slots__ = ()

    def _checked(self, progress: ProgressArg, skip_unchanged: bool, delete: bool,
                 local_path: LocalPath, workers: int, what: str,
                 ) -> tuple[ProgressArg, bool, bool, Path, int]:
        # Every argument of a transfer, checked before anything changes.
        return (check_progress(progress), check_flag(skip_unchanged, "skip_unchanged"),
                check_flag(delete, "delete"), check_local(local_path, what),
                check_workers(workers, self._current_section()))

    # -- what a path names -------------------------------------------------------------

    # -- the transfers -----------------------------------------------------------------

    def download_to(self, local_path: LocalPath, *, workers: int = DEFAULT_WORKERS,
                    progress: ProgressArg = None, skip_unchanged: bool = False,
                    delete: bool = False) -> None:
        """This object into a local file, or every object below this prefix into a tree.

        A directory target takes the object under its own name.  Files are written to a
        temporary name beside the target and renamed into place when complete (with the
        mode ``open()`` gives a new file); parent folders are made as needed, folder
        markers make only their folder.  Before anything is written, keys that would land
        outside ``local_path`` raise ValueError, and so does a folder of the target that
        is a link leading out of it.  Temporary files that downloads of ended processes
        left in those folders are removed.  With ``skip_unchanged``, a file that already
        holds the object's bytes (same size and MD5) is not fetched again.

        With ``delete=True`` (a prefix only: for one object it is a ValueError) the tree
        is made a mirror of the prefix: once every object has been downloaded, the regular
        files below ``local_path`` that no object maps to are removed, and then the
        folders that leaves empty, except those of folder markers.  Links are neither
        followed nor removed, nothing above ``local_path`` is touched, and the temporary
        files of downloads still running stay.  A failed download removes nothing.
        """
        progress, skip_unchanged, delete, root, workers = self._checked(
            progress, skip_unchanged, delete, local_path, workers, "download_to")
        client, bucket = self.client, self._bucket()
        prefix = self._prefix()
        remote, listing = object_or_listing(client, bucket, self._key(), prefix)
        if remote is not None:
            if delete:
                raise ValueError(f"download_to: delete=True mirrors a prefix, and "
                                 f"'{remote.key}' is one object; nothing was written")
            target = root / posixpath.basename(remote.key) if root.is_dir() else root
            _remove_leftovers([target.parent])
            meter = Progress(progress, remote.size, 1, "download")
            engine = engines.engine_for(client)
            try:
                if skip_unchanged and _unchanged(client, bucket, remote, target):
                    meter.advance(remote.size)
                    meter.file_done()
                elif engine is not None:
                    _engine_download(engine, client, bucket, [(remote, target)], workers,
                                     meter, single=True)
                else:
                    _download_one(client, bucket, remote, target, meter)
                    meter.file_done()
            finally:
                meter.close()
            return
        plan, folders = _local_plan(listing, prefix, root)
        if root.exists() and not root.is_dir():
            raise NotADirectoryError(f"download_to of a prefix needs a directory, and "
                                     f"{str(root)!r} is a file")
        check_folders(root, folders, "download_to")
        stale = _stale_files(root, {target for _, target in plan}) if delete else []
        _remove_leftovers([root, *folders])
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

        engine = engines.engine_for(client)
        try:
            if engine is None:
                run_tasks([(item.key, task(item, target)) for item, target in plan], workers,
                          "download", meter)
            else:
                if skip_unchanged:
                    plan = _changed(plan, workers, meter,
                                    lambda item, target: _unchanged(client, bucket, item, target),
                                    lambda item, _: item.size)
                _engine_download(engine, client, bucket, plan, workers, meter, single=False)
        finally:
            meter.close()
        if stale:
            _remove_stale(root, stale, set(folders))

    def upload_from(self, local_path: LocalPath, *, workers: int = DEFAULT_WORKERS,
                    progress: ProgressArg = None, skip_unchanged: bool = False,
                    delete: bool = False) -> None:
        """A local file to this object, or a local tree below this path, in parallel.

        The objects are those ``upload()`` makes (empty folders store nothing).  Files
        over 8 MiB go in parts.  With ``skip_unchanged``, a file whose bytes the store
        already holds (same size and MD5, from one recursive listing) is not sent again.
        The temporary files of downloads in progress (``.quorvex-<pid>-<hex>.part``) are
        never sent.  Every name is checked before anything is sent: one that is not valid
        UTF-8 raises ValueError.

        With ``delete=True`` (a folder only: for one file it is a ValueError) the prefix
        is made a mirror of the tree: once every file has been sent, the objects below
        this path that no local file maps to are removed, with one request per 1,000 keys
        (TransferError naming those the store would not remove).  A folder marker below
        the path with no local folder of its name goes too; the path's own marker and keys
        no local path could name stay.  What is stale is decided from one listing taken
        before anything is sent.  A failed upload removes nothing.
        """
        progress, skip_unchanged, delete, source, workers = self._checked(
            progress, skip_unchanged, delete, local_path, workers, "upload_from")
        client, bucket = self.client, self._bucket()
        key = self._key()
        if not source.is_dir():
            key = self._object_key("upload_from of a file")
            size = source.stat().st_size  # FileNotFoundError for a missing file
            if delete:
                raise ValueError(f"upload_from: delete=True mirrors a folder, and "
                                 f"{str(source)!r} is a file; nothing was sent")
            meter = Progress(progress, size, 1, "upload")
            engine = engines.engine_for(client)
            try:
                if skip_unchanged and _unchanged(
                        client, bucket, stat_or_none(client, bucket, key), source):
                    meter.advance(size)
                    meter.file_done()
                elif engine is not None:
                    # One file: its parts go side by side on every worker's connection.
                    _engine_upload(engine, client, bucket, [(key, source, size)], workers,
                                   meter, single=True)
                else:
                    # One file: its parts go side by side (a tree has its files for that).
                    _upload_one(client, bucket, key, source, meter,
                                min(workers, SINGLE_FILE_PARTS_IN_FLIGHT))
                    meter.file_done()
            finally:
                meter.close()
            return
        folders: list[str] = []
        files = _walk_files(source, folders)
        prefix = self._prefix()
        known: dict[str, Remote] = {}
        stale: list[str] = []
        if skip_unchanged or delete:
            listing = list_below(client, bucket, prefix)
            if skip_unchanged:
                known = {item.key: item for item in listing}
            if delete:
                stale = _stale_keys(listing, prefix, {name for name, _ in files},
                                    set(folders))
        sizes = {path: path.stat().st_size for _, path in files}
        meter = Progress(progress, sum(sizes.values()), len(files), "upload")

        def task(name: str, path: Path) -> Callable[[], None]:
            def run() -> None:
                if skip_unchanged and _unchanged(client, bucket, known.get(name), path):
                    meter.advance(sizes[path])
                    return
                _upload_one(client, bucket, name, path, meter)
            return run

        engine = engines.engine_for(client)
        try:
            if engine is None:
                run_tasks([(str(path), task(prefix + relative, path))
                           for relative, path in files], workers, "upload", meter)
            else:
                todo = [(prefix + relative, path, sizes[path]) for relative, path in files]
                if skip_unchanged:
                    todo = _changed(
                        todo, workers, meter,
                        lambda name, path, _: _unchanged(client, bucket, known.get(name), path),
                        lambda name, path, size: size)
                _engine_upload(engine, client, bucket, todo, workers, meter, single=False)
        finally:
            meter.close()
        if stale:
            remove_keys(client, bucket, stale, "upload", "objects no local file maps to")


def _walk_files(root: Path, folders: Optional[list[str]] = None) -> list[tuple[str, Path]]:
    """Every file below ``root`` as (POSIX path relative to root, path), sorted.

    The folders below ``root`` (relative, POSIX) are appended to ``folders`` when given.

    Links to folders are followed, as ``upload()`` follows them; one that leads back to a
    folder being walked raises ValueError instead of walking forever, and so does an entry
    that cannot be read as a file (a broken link, a pipe), or whose name is not valid
    UTF-8, before anything is sent.  The temporary files of downloads are left out.
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
            if _is_temp_name(entry.name) and entry.is_file():
                continue
            name = check_key_text(relative + entry.name, Path(entry.path), "upload_from")
            if entry.is_dir():
                if folders is not None:
                    folders.append(name)
                walk(Path(entry.path), name + "/", above | {identity})
            elif entry.is_file():
                found.append((name, Path(entry.path)))
            else:
                raise ValueError(f"upload_from: {entry.path!r} is neither a file nor a "
                                 f"folder (a broken link, a pipe or a device)")

    walk(root, "", frozenset())
    return found
