"""Copies and moves of an object or a tree, within one store or to another.

The target's configuration section (by default the caller's) decides where the target is.
When it names the source's store (the same endpoint, TLS setting and region) with the same
credentials, copies are server-side: no object's bytes pass through the client.  Otherwise
each object is streamed through the client: read with GETs pinned to its ETag and written
in parts of :data:`quorvex.sizes.PART_SIZE`, so memory stays a few parts per worker
whatever the object's size; the content type and the ``md5`` user metadata go with it.

Where the source and target prefixes overlap in one bucket (``d/s`` into ``d``, or ``d``
into ``d/s``), the copy of a key may land on another source.  That source is copied
first: the copies run in waves, each wave in parallel, and a copy starts only once every
source it overwrites has been copied.  A move removes its sources in batches, each only
after its own copy completed, and never a source that a copy has written to.
"""

from __future__ import annotations

from typing import Any, Callable, Optional, Union

from minio import Minio
from minio.commonconfig import CopySource
from minio.datatypes import Part

from quorvex import engine as engines
from quorvex._progress import Progress, ProgressArg, check_progress
from quorvex.config import ClientSettings, EnvConfig
from quorvex.digests import clean_etag, metadata_md5
from quorvex.errors import TransferError, missing_bucket
from quorvex.path_algebra import StorePathMixin
from quorvex.plans import Remote, check_workers, object_or_listing, remove_keys, run_waves
from quorvex.retrying import retry
from quorvex.sizes import (CHUNK, COPY_PART_SIZE, DEFAULT_WORKERS, SINGLE_COPY_LIMIT,
                           SINGLE_FILE_PARTS_IN_FLIGHT)
from quorvex.streams import (ObjectReader, ObjectWriter, _abort_upload, _complete_upload,
                             _create_upload, stat_object)

__all__ = ["CopyingMixin"]

_USER_METADATA = "x-amz-meta-"

CopyOne = Callable[[Remote, str, Progress], None]
Headers = dict[str, Union[str, list[str], tuple[str]]]  # as the SDK takes metadata


def _kept_metadata(stat: Any) -> Headers:
    """The content type and user metadata of a stat, as a copy must send them again."""
    kept: Headers = {name: value for name, value in (stat.metadata or {}).items()
                     if name.lower().startswith(_USER_METADATA)}
    if stat.content_type:
        kept["Content-Type"] = stat.content_type
    return kept


@retry()
def _copy_on_server(client: Minio, bucket: str, remote: Remote, target_bucket: str,
                    target_key: str) -> None:
    source = CopySource(bucket, remote.key)
    if remote.size <= SINGLE_COPY_LIMIT:
        client.copy_object(target_bucket, target_key, source)  # keeps the metadata
        return
    # Larger objects are copied in parts, and a multipart upload starts with no metadata
    # of its own: it is sent again with the content type.
    stat = stat_object(client, bucket, remote.key)
    client.copy_object(target_bucket, target_key, source, metadata=_kept_metadata(stat))


def _engine_copy(engine: Any, client: Minio, bucket: str, remote: Remote, target_bucket: str,
                 target_key: str, workers: int) -> None:
    """``remote`` copied by the store to ``target_key``, its requests sent by the engine:
    one copy request, or above the single-copy limit a multipart upload of part copies
    (``workers`` at once) that is sent the metadata again."""
    region = engines.region_of(client, target_bucket)
    base = {"op": "copy", "bucket": target_bucket, "key": target_key, "region": region,
            "source_bucket": bucket, "source_key": remote.key}
    if remote.size <= SINGLE_COPY_LIMIT:
        result = engines.run(engine, [base], 1)[0]
        if not result["ok"]:
            raise engines.error_of(result, client, bucket, remote.key)
        return
    stat = stat_object(client, bucket, remote.key)
    upload_id = _create_upload(client, target_bucket, target_key,
                               {name: str(value) for name, value in _kept_metadata(stat).items()})
    try:
        parts = [(start, min(COPY_PART_SIZE, remote.size - start))
                 for start in range(0, remote.size, COPY_PART_SIZE)]
        results = engines.run(engine, [
            {**base, "range": part, "upload_id": upload_id, "part_number": number,
             "if_match": f'"{remote.etag}"'}
            for number, part in enumerate(parts, 1)], workers, stop_on_failure=True)
        failure = engines.first_failure(results)
        if failure is not None:
            raise engines.error_of(failure, client, bucket, remote.key)
        _complete_upload(client, target_bucket, target_key, upload_id,
                         [Part(number, clean_etag(result["etag"]))
                          for number, result in enumerate(results, 1)])
    except BaseException:
        try:
            _abort_upload(client, target_bucket, target_key, upload_id)
        except Exception:  # noqa: BLE001 - the failure being raised is the one to report
            pass  # abort_uploads() finds it later
        raise


@retry()
def _stream_one(source: Minio, bucket: str, key: str, target: Minio, target_bucket: str,
                target_key: str, progress: Progress, parts_in_flight: int) -> None:
    """The object ``key`` written through the client to ``target_key`` of the target."""
    stat = stat_object(source, bucket, key)
    options: dict[str, Any] = {"md5": metadata_md5(stat.metadata),
                               "parts_in_flight": parts_in_flight}
    if stat.content_type:
        options["content_type"] = stat.content_type
    reader = ObjectReader(source, bucket, key, int(stat.size or 0), clean_etag(stat.etag))
    writer = ObjectWriter(target, target_bucket, target_key, **options)
    block = bytearray(CHUNK)
    reported = 0
    try:
        while count := reader.readinto(block):
            writer.write(memoryview(block)[:count])
            reported += count
            progress.advance(count)
        writer.close()
    except BaseException:
        writer.abort()
        progress.take_back(reported)
        raise
    finally:
        reader.close()


@retry()
def _bucket_exists(client: Minio, bucket: str) -> bool:
    return bool(client.bucket_exists(bucket))


def _waves(plan: list[tuple[Remote, str]]) -> list[list[tuple[Remote, str]]]:
    """The copies of ``plan`` (source, target key) in the order one bucket needs.

    A copy whose target is itself a source goes in a wave after that source's own copy,
    so no source is overwritten before it was copied.  The targets are the sources' keys
    under another prefix, so no chain comes back to where it started.
    """
    destination = {remote.key: key for remote, key in plan}
    depth: dict[str, int] = {}
    for start in destination:
        chain: list[str] = []
        key = start
        while key in destination and key not in depth:
            chain.append(key)
            key = destination[key]
        level = depth.get(key, -1)
        for earlier in reversed(chain):
            level += 1
            depth[earlier] = level
    waves: list[list[tuple[Remote, str]]] = [[] for _ in range(max(depth.values()) + 1)]
    for remote, key in plan:
        waves[depth[remote.key]].append((remote, key))
    return waves


def _same_endpoint(one: ClientSettings, other: ClientSettings) -> bool:
    return (one.endpoint.lower(), one.secure, one.region) == \
        (other.endpoint.lower(), other.secure, other.region)


class CopyingMixin(StorePathMixin):
    """Copying and moving objects and trees, within the store or to another one."""

    __slots__ = ()

    def _target_key(self, target: Any) -> tuple[Any, str]:
        if isinstance(target, str):
            target = type(self)(path=target)
        if type(target) is not type(self):
            raise TypeError(f"the target must be a {type(self).__name__} or a str, not "
                            f"{type(target).__name__}")
        return target, target._key()

    def copy(self, target: Any, *, workers: int = DEFAULT_WORKERS,
             progress: ProgressArg = None, section: Optional[str] = None) -> Any:
        """Copies this object, or every object below this prefix, to ``target``.

        ``target`` is a path of this class or a key; it is returned as a path.  Its bucket
        and store are those of configuration ``section`` (by default the calling
        thread's).  Within one store with the same credentials the copy is server-side;
        otherwise the bytes are streamed through the client.  Overlapping prefixes in one
        bucket give exactly the copy of every source as it was before the call.
        """
        return self._copy_or_move(target, workers, progress, False, section)

    def move(self, target: Any, *, workers: int = DEFAULT_WORKERS,
             progress: ProgressArg = None, section: Optional[str] = None) -> Any:
        """Moves this object, or every object below this prefix, to ``target``.

        Copies as :meth:`copy` does, then removes the sources in batches: each only after
        its own copy completed, and none that a copy wrote to.  On a failure the sources
        whose copies completed are removed, every other one stays where it was.
        """
        return self._copy_or_move(target, workers, progress, True, section)

    def _copy_or_move(self, target: Any, workers: int, progress: ProgressArg,
                      move: bool, section: Optional[str]) -> Any:
        verb = "move" if move else "copy"
        progress = check_progress(progress)
        target, target_key = self._target_key(target)
        own_section = self._current_section()
        workers = check_workers(workers, own_section)
        client, bucket = self.client, self._bucket()
        target_client, same_store, server_side = client, True, True
        if section is None:
            target_bucket = target._bucket()
        else:
            with type(self).use_section(section):
                target_section = target._current_section()
                target_bucket = target._bucket()
                if target_section != own_section:
                    target_client = target.client
                    config = EnvConfig.init_configer()
                    own, other = (config.client_settings(own_section),
                                  config.client_settings(target_section))
                    same_store = _same_endpoint(own, other)
                    server_side = same_store and \
                        (own.access_key, own.secret_key) == (other.access_key,
                                                             other.secret_key)
                    if not server_side:
                        check_workers(workers, target_section)
        same_bucket = same_store and target_bucket == bucket
        if same_bucket and target_key == self._key():
            raise ValueError(f"cannot {verb} '{self._key() or '/'}' onto itself")
        prefix = self._prefix()
        remote, listing = object_or_listing(client, bucket, self._key(), prefix)
        if remote is not None and not target_key:
            raise ValueError(f"cannot {verb} an object onto the bucket's root")
        if not same_bucket and not _bucket_exists(target_client, target_bucket):
            raise missing_bucket(target_bucket)

        engine = engines.engine_for(client) if server_side else None

        def copy_one(parts_in_flight: int) -> CopyOne:
            def run(source: Remote, destination: str, meter: Progress) -> None:
                if engine is not None:
                    _engine_copy(engine, client, bucket, source, target_bucket, destination,
                                 parts_in_flight)
                    meter.advance(source.size)
                elif server_side:
                    _copy_on_server(client, bucket, source, target_bucket, destination)
                    meter.advance(source.size)
                else:
                    _stream_one(client, bucket, source.key, target_client, target_bucket,
                                destination, meter, parts_in_flight)
            return run

        if remote is not None:
            meter = Progress(progress, remote.size, 1, verb)
            try:
                copy_one(SINGLE_FILE_PARTS_IN_FLIGHT)(remote, target_key, meter)
                if move:
                    remove_keys(client, bucket, [remote.key], verb, "copied sources")
                meter.file_done()
            finally:
                meter.close()
            return target
        _copy_tree(client, bucket, listing, prefix, target._prefix(), copy_one(1), workers,
                   progress, verb, move, same_bucket)
        return target


def _copy_tree(client: Minio, bucket: str, listing: list[Remote], prefix: str,
               target_prefix: str, copy_one: CopyOne, workers: int, progress: ProgressArg,
               verb: str, move: bool, same_bucket: bool) -> None:
    """Copies every object of ``listing`` from below ``prefix`` to below
    ``target_prefix``, in waves where the two share ``bucket``; a move then removes the
    sources."""
    plan: list[tuple[Remote, str]] = []
    markers: list[str] = []  # the source's own folder marker, when the target is root
    for item in listing:
        destination = target_prefix + item.key[len(prefix):]
        if destination:
            plan.append((item, destination))
        elif item.size:
            raise ValueError(f"cannot {verb} '{item.key}' onto the bucket's root: it is "
                             f"an object of {item.size} bytes, and the root is no object")
        else:
            markers.append(item.key)  # the root needs no marker
    waves = _waves(plan) if same_bucket and plan else [plan]
    written = {key for _, key in plan} if same_bucket else set()
    meter = Progress(progress, sum(item.size for item, _ in plan), len(plan), verb)

    def task(item: Remote, destination: str) -> Callable[[], None]:
        return lambda: copy_one(item, destination, meter)

    completed: list[str] = []
    failure: Optional[TransferError] = None
    try:
        run_waves([[(item.key, task(item, key)) for item, key in wave] for wave in waves],
                  workers, verb, meter, completed)
    except TransferError as exc:
        failure = exc
    finally:
        meter.close()
    if move:
        doomed = [key for key in completed + markers if key not in written]
        try:
            remove_keys(client, bucket, doomed, verb, "copied sources")
        except TransferError:
            if failure is None:
                raise
            raise failure from failure.__cause__  # the copy's failure comes first
    if failure is not None:
        raise failure
