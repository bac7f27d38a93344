"""Streaming access to one object through open(): ranged reads and multipart writes.

Reading holds one GET open from the current position and reads it as the caller asks, so
memory is the buffer's size whatever the object's.  The object is pinned by the ETag it
had at ``open()``: every request carries ``If-Match`` and every reply's ETag is checked,
so a replaced object raises :class:`ObjectChangedError` instead of mixing two versions.
The reply to a GET from an offset is checked to start there: a 206 must name that range of
an object of the size seen at ``open()``, and a 200 (a proxy that ignores Range sends the
whole object) has the bytes before the offset read and dropped as it streams.

Writing fills parts of :data:`PART_SIZE`; an object that fits in one part goes as one PUT
at ``close()``, a larger one as a multipart upload completed at ``close()``.  Until then
nothing is visible.  An exception inside ``with``, a failed part or a writer dropped
without ``close()`` aborts: no object and no multipart upload are left behind.
"""

from __future__ import annotations

import concurrent.futures
import hashlib
import io
import re
from collections import deque
from typing import Any, NoReturn, Optional

from minio import Minio
from minio.datatypes import Part
from minio.error import S3Error

from quorvex import engine as engines
from quorvex.digests import MD5_HEADER, MD5_METADATA, clean_etag, is_plain_md5
from quorvex.errors import (ObjectChangedError, UnexpectedReplyError, is_missing, missing_object,
                            translate)
from quorvex.path_algebra import StorePathMixin
from quorvex.retrying import configured_attempts, is_transient, retry
from quorvex.sizes import MAX_PARTS, PART_SIZE, PARTS_IN_FLIGHT, READ_BUFFER

__all__ = ["ObjectReader", "ObjectWriter", "StreamsMixin", "TextWriter", "stat_object"]


@retry()
def _stat(client: Minio, bucket: str, key: str) -> Any:
    return client.stat_object(bucket, key)


def stat_object(client: Minio, bucket: str, key: str) -> Any:
    """The stat of ``key``; FileNotFoundError when the object or the bucket is missing."""
    try:
        return _stat(client, bucket, key)
    except S3Error as exc:
        raise translate(exc, bucket, key) from None


def _replaced(bucket: str, key: str) -> ObjectChangedError:
    return ObjectChangedError(f"'{key}' in bucket '{bucket}' was replaced or removed while "
                              f"it was open for reading")


class _EngineReply:
    """A GET of the transfer engine from ``offset`` to the end, read as the SDK's reply is.

    A GET of the whole object whose ETag is a plain MD5 is checked against it once its last
    byte has come (:meth:`finish`)."""

    def __init__(self, engine: Any, client: Minio, bucket: str, key: str, offset: int,
                 etag: str, size: int) -> None:
        self._client, self._bucket, self._key, self._etag = client, bucket, key, etag
        self._md5 = offset == 0 and is_plain_md5(etag)
        self._stream = engines.stream(engine, client, bucket, key, offset,
                                      -1 if offset == 0 else size - offset, etag, self._md5,
                                      2 * READ_BUFFER)

    def readinto(self, view: memoryview) -> int:
        count: int = self._stream.readinto(view)
        if count < 0:
            raise self._failure(self._stream.result())
        return count

    def finish(self) -> None:
        """Waits for the end of the GET; raises what went wrong, or a body that is not the
        bytes its MD5 says."""
        result = self._stream.result()
        if not result["ok"]:
            raise self._failure(result)
        if self._md5 and result["md5"] != self._etag.lower():
            raise UnexpectedReplyError(f"'{self._key}' in bucket '{self._bucket}' came with "
                                       f"bytes whose MD5 is not the one its ETag says "
                                       f"({result['md5']} against {self._etag})")

    def close(self) -> None:
        self._stream.close()

    def release_conn(self) -> None:
        pass  # the engine takes its connection back by itself

    def _failure(self, result: engines.Result) -> BaseException:
        error = engines.error_of(result, self._client, self._bucket, self._key)
        if isinstance(error, FileNotFoundError) or result["code"] == "PreconditionFailed":
            return _replaced(self._bucket, self._key)
        return error


@retry()
def _get_pinned(client: Minio, bucket: str, key: str, offset: int, etag: str,
                size: int) -> Any:
    engine = engines.engine_for(client)
    if engine is not None:
        return _EngineReply(engine, client, bucket, key, offset, etag, size)
    try:
        response = client.get_object(bucket, key, offset=offset,
                                     request_headers={"If-Match": f'"{etag}"'})
    except S3Error as exc:
        if exc.code == "PreconditionFailed" or is_missing(exc):
            raise _replaced(bucket, key) from exc
        raise
    try:
        seen = clean_etag(response.headers.get("ETag"))
        if seen and seen != etag:
            raise ObjectChangedError(f"'{key}' in bucket '{bucket}' was replaced while it "
                                     f"was open for reading (ETag {etag} became {seen})")
        if offset:
            _check_range(response, bucket, key, offset, size)
    except BaseException:
        _release(response)
        raise
    return response


_CONTENT_RANGE = re.compile(r"bytes (\d+)-(\d+)/(\d+|\*)")


def _check_range(response: Any, bucket: str, key: str, offset: int, size: int) -> None:
    """Makes sure the reply to a GET from ``offset`` starts at ``offset``.

    A 206 must name that range of an object of ``size`` bytes.  A 200 carries the whole
    object (proxies and some gateways ignore Range): its first ``offset`` bytes are read
    and dropped here, a buffer at a time, so the reply then goes on at ``offset``.
    """
    where = f"'{key}' in bucket '{bucket}'"
    status = response.status
    if status == 200:
        length = response.headers.get("Content-Length")
        if length is not None and length.strip().isdigit() and int(length) != size:
            raise ObjectChangedError(f"{where} was replaced while it was open for reading "
                                     f"(its size {size} became {int(length)})")
        _skip(response, offset, where)
        return
    if status != 206:
        raise UnexpectedReplyError(f"a GET of {where} from byte {offset} was answered "
                                   f"with HTTP {status}, neither 206 nor 200")
    text = response.headers.get("Content-Range")
    found = _CONTENT_RANGE.fullmatch((text or "").strip())
    if found is None:
        raise UnexpectedReplyError(f"a GET of {where} from byte {offset} was answered "
                                   f"with 206 and the Content-Range {text!r}, which names "
                                   f"no byte range")
    total = found.group(3)
    if total != "*" and int(total) != size:
        raise ObjectChangedError(f"{where} was replaced while it was open for reading (its "
                                 f"size {size} became {total})")
    if int(found.group(1)) != offset:
        raise UnexpectedReplyError(f"a GET of {where} from byte {offset} was answered with "
                                   f"the bytes {found.group(1)}-{found.group(2)} instead")


def _skip(response: Any, count: int, where: str) -> None:
    # Reads and drops the first ``count`` bytes of a reply, never holding more than a buffer.
    scratch = bytearray(min(count, READ_BUFFER))
    view = memoryview(scratch)
    left = count
    while left:
        got = response.readinto(view[:min(left, len(scratch))])
        if not got:
            raise ConnectionError(f"the whole-object reply for {where} ended after "
                                  f"{count - left} of the {count} bytes before the offset")
        left -= got


def _release(response: Any) -> None:
    try:
        response.close()
    finally:
        response.release_conn()


class ObjectReader(io.RawIOBase):
    """The bytes of one version of one object, read with GETs from any position.

    One GET from the position streams while reads go on in order (ranged GETs of a
    window each, measured against pandas on moto, cost more requests and time than they
    save).  Through the transfer engine, the GET is received on a thread of its own into a
    read-ahead of two buffers, with the GIL released.
    """

    def __init__(self, client: Minio, bucket: str, key: str, size: int,
                 etag: str) -> None:
        super().__init__()
        self.name = key
        self.size = size
        self.etag = etag
        self._client = client
        self._bucket = bucket
        self._position = 0
        self._response: Any = None

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        self._checkClosed()
        return self._position

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        self._checkClosed()
        if whence == io.SEEK_SET:
            position = offset
        elif whence == io.SEEK_CUR:
            position = self._position + offset
        elif whence == io.SEEK_END:
            position = self.size + offset
        else:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if position < 0:
            raise ValueError(f"negative seek position {position}")
        if position != self._position:
            self._drop_response()
            self._position = position
        return position

    def readinto(self, buffer: Any) -> int:
        self._checkClosed()
        view = memoryview(buffer).cast("B")
        wanted = min(len(view), self.size - self._position)
        if wanted <= 0:
            return 0
        failures = 0
        while True:
            if self._response is None:
                self._response = _get_pinned(self._client, self._bucket, self.name,
                                             self._position, self.etag, self.size)
            try:
                # At most a buffer's worth from the reply per call: urllib3's readinto
                # reads into a temporary bytes object of the size asked and then copies
                # it, so one large read(n) -- pyarrow asks for whole column chunks, tens
                # of MiB -- would hold about twice n.  A raw stream may read short.
                count = self._response.readinto(view[:min(wanted, READ_BUFFER)])
                if not count:
                    raise ConnectionError(f"the reply for '{self.name}' ended at byte "
                                          f"{self._position} of {self.size}")
                if self._position + count == self.size and \
                        isinstance(self._response, _EngineReply):
                    self._response.finish()
            except Exception as exc:
                self._drop_response()
                failures += 1
                if failures >= configured_attempts() or not is_transient(exc):
                    raise
                continue
            self._position += count
            return int(count)

    def readall(self) -> bytes:
        chunks = bytearray()
        chunk = bytearray(READ_BUFFER)
        while True:
            count = self.readinto(chunk)
            if not count:
                return bytes(chunks)
            chunks += memoryview(chunk)[:count]

    def close(self) -> None:
        self._drop_response()
        super().close()

    def _drop_response(self) -> None:
        response, self._response = self._response, None
        if response is not None:
            try:
                _release(response)
            except Exception:  # noqa: BLE001 - a broken connection is dropped anyway
                pass


def _engine_put(client: Minio, bucket: str, key: str, data: bytes,
                **fields: Any) -> Optional[str]:
    # The ETag of ``data`` PUT by the transfer engine, or None where the client has none.
    engine = engines.engine_for(client)
    if engine is None:
        return None
    result = engines.run(engine, [{"op": "put", "bucket": bucket, "key": key, "buffer": data,
                                   "region": engines.region_of(client, bucket), **fields}], 1)[0]
    if not result["ok"]:
        raise engines.error_of(result, client, bucket, key)
    etag: str = result["etag"]
    return etag


def _put_whole(client: Minio, bucket: str, key: str, data: bytes,
               md5: str, content_type: str) -> None:
    headers = {"content-type": content_type, MD5_HEADER: md5}
    if _engine_put(client, bucket, key, data, headers=headers) is None:
        _sdk_put_whole(client, bucket, key, data, md5, content_type)


@retry()
def _sdk_put_whole(client: Minio, bucket: str, key: str, data: bytes,
                   md5: str, content_type: str) -> None:
    client.put_object(bucket, key, io.BytesIO(data), len(data), content_type=content_type,
                      metadata={MD5_METADATA: md5})


@retry()
def _create_upload(client: Minio, bucket: str, key: str,
                   headers: dict[str, str]) -> str:
    upload_id: str = client._create_multipart_upload(bucket, key, dict(headers))
    return upload_id


def _upload_part(client: Minio, bucket: str, key: str, data: bytes,
                 upload_id: str, number: int) -> str:
    etag = _engine_put(client, bucket, key, data, upload_id=upload_id, part_number=number)
    return etag if etag is not None else _sdk_upload_part(client, bucket, key, data,
                                                          upload_id, number)


@retry()
def _sdk_upload_part(client: Minio, bucket: str, key: str, data: bytes,
                     upload_id: str, number: int) -> str:
    etag: str = client._upload_part(bucket, key, data, None, upload_id, number)
    return etag


@retry()
def _complete_upload(client: Minio, bucket: str, key: str, upload_id: str,
                     parts: list[Part]) -> None:
    client._complete_multipart_upload(bucket, key, upload_id, parts)


@retry()
def _abort_upload(client: Minio, bucket: str, key: str, upload_id: str) -> None:
    client._abort_multipart_upload(bucket, key, upload_id)


class ObjectWriter(io.BufferedIOBase):
    """Bytes written to one object, stored when ``close()`` succeeds and never before.

    Up to ``parts_in_flight`` parts are sent while the next one fills.  ``md5`` (hex),
    when the caller knows the MD5 of everything that will be written, is
    stored in the object's user metadata even for a multipart upload; otherwise it is
    stored only when the object goes as one PUT (for a multipart upload the MD5 is known
    only at the end, after the metadata was sent).
    """

    def __init__(self, client: Minio, bucket: str, key: str, *,
                 md5: Optional[str] = None,
                 content_type: str = "application/octet-stream",
                 parts_in_flight: int = PARTS_IN_FLIGHT) -> None:
        super().__init__()
        self._parts_in_flight = max(1, parts_in_flight)
        self.name = key
        self._client = client
        self._bucket = bucket
        self._known_md5 = md5
        self._content_type = content_type
        self._digest = hashlib.md5()
        self._buffer = bytearray()
        self._size = 0
        self._upload_id: Optional[str] = None
        self._parts: list[Part] = []
        self._in_flight: deque[concurrent.futures.Future[str]] = deque()
        self._pool: Optional[concurrent.futures.ThreadPoolExecutor] = None
        self._failure: Optional[BaseException] = None
        self._closed = False

    # -- the file interface ------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._closed

    def writable(self) -> bool:
        return True

    def readable(self) -> bool:
        return False

    def seekable(self) -> bool:
        return False

    def tell(self) -> int:
        self._check_open()
        return self._size

    def write(self, data: Any) -> int:
        self._check_open()
        view = memoryview(data).cast("B")
        total = len(view)
        taken = 0
        try:
            while taken < total:
                if len(self._buffer) == PART_SIZE:
                    # More follows, so the full buffer is not the last part.
                    self._send_part(bytes(self._buffer))
                    self._buffer.clear()
                step = min(PART_SIZE - len(self._buffer), total - taken)
                piece = view[taken:taken + step]
                self._buffer += piece
                self._digest.update(piece)
                taken += step
                self._size += step
        except BaseException as exc:
            self._fail(exc)
        return total

    def close(self) -> None:
        """Stores the object; on any failure aborts the upload and raises."""
        if self._closed:
            return
        try:
            self._finish()
        except BaseException as exc:
            self._fail(exc)
        self._closed = True
        self._shutdown_pool()

    def _fail(self, exc: BaseException) -> NoReturn:
        # Nothing of a failed writer is stored; a missing bucket is reported as everywhere.
        try:
            self.abort()
        except Exception:  # noqa: BLE001 - the failure that stopped the writer is reported
            pass
        if isinstance(exc, S3Error):
            raise translate(exc, self._bucket, self.name) from None
        raise exc

    def abort(self) -> None:
        """Discards what was written: aborts the multipart upload, stores nothing."""
        if self._closed:
            return
        self._closed = True
        self._buffer = bytearray()
        for future in self._in_flight:
            future.cancel()
        self._shutdown_pool()
        upload_id, self._upload_id = self._upload_id, None
        if upload_id is not None:
            _abort_upload(self._client, self._bucket, self.name, upload_id)

    def __exit__(self, exc_type: Any, exc: Any, traceback: Any) -> None:
        if exc_type is not None:
            self.abort()
        else:
            self.close()

    def __del__(self) -> None:
        # Dropped without close(): what was written is incomplete, so it is not stored.
        try:
            self.abort()
        except Exception:  # noqa: BLE001 - nothing can be reported from a finaliser
            pass

    # -- the upload --------------------------------------------------------------------

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(f"write to a closed or aborted writer of '{self.name}'")
        if self._failure is not None:
            raise self._failure

    def _finish(self) -> None:
        if self._failure is not None:
            raise self._failure
        md5 = self._digest.hexdigest()
        if self._upload_id is None:
            if self._known_md5 is not None and self._known_md5 != md5:
                raise ValueError(f"the bytes written to '{self.name}' do not have the MD5 "
                                 f"announced for them")
            _put_whole(self._client, self._bucket, self.name, bytes(self._buffer),
                       md5, self._content_type)
            return
        self._send_part(bytes(self._buffer))
        self._buffer = bytearray()
        while self._in_flight:
            self._collect_oldest()
        if self._known_md5 is not None and self._known_md5 != md5:
            raise ValueError(f"the bytes written to '{self.name}' do not have the MD5 "
                             f"announced for them")
        _complete_upload(self._client, self._bucket, self.name, self._upload_id,
                         self._parts)
        self._upload_id = None

    def _send_part(self, data: bytes) -> None:
        if self._upload_id is None:
            headers = {"Content-Type": self._content_type}
            if self._known_md5 is not None:
                headers[MD5_HEADER] = self._known_md5
            self._upload_id = _create_upload(self._client, self._bucket, self.name, headers)
            if self._parts_in_flight > 1:
                self._pool = concurrent.futures.ThreadPoolExecutor(
                    self._parts_in_flight, thread_name_prefix="quorvex-part")
        number = len(self._parts) + len(self._in_flight) + 1
        if number > MAX_PARTS:
            raise ValueError(f"'{self.name}' would need more than {MAX_PARTS} parts of "
                             f"{PART_SIZE} bytes")
        if self._pool is None:
            # One part at a time: sent from the caller's thread, so a tree transfer's
            # worker holds no second thread for its file.
            etag = _upload_part(self._client, self._bucket, self.name, data,
                                self._upload_id, number)
            self._parts.append(Part(number, clean_etag(etag)))
            return
        while len(self._in_flight) >= self._parts_in_flight:
            self._collect_oldest()
        assert self._pool is not None
        self._in_flight.append(self._pool.submit(
            _upload_part, self._client, self._bucket, self.name, data, self._upload_id,
            number))

    def _collect_oldest(self) -> None:
        future = self._in_flight.popleft()
        try:
            etag = future.result()
        except BaseException as exc:
            self._failure = exc
            raise
        self._parts.append(Part(len(self._parts) + 1, clean_etag(etag)))

    def _shutdown_pool(self) -> None:
        pool, self._pool = self._pool, None
        if pool is not None:
            pool.shutdown(wait=True, cancel_futures=True)


class TextWriter(io.TextIOWrapper):
    """Text onto an ObjectWriter, aborting as the writer does on an error or when dropped."""

    def __exit__(self, exc_type: Any, exc: Any, traceback: Any) -> None:
        if exc_type is not None:
            self.buffer.abort()  # type: ignore[attr-defined]
        self.close()

    def __del__(self) -> None:
        try:
            if not self.buffer.closed:
                self.buffer.abort()  # type: ignore[attr-defined]
        except Exception:  # noqa: BLE001 - nothing can be reported from a finaliser
            pass


_MODES = frozenset({"rb", "r", "wb", "w"})


class StreamsMixin(StorePathMixin):
    """File objects onto one object of the store."""

    __slots__ = ()

    def open(self, mode: str = "rb", buffering: int = -1, encoding: Optional[str] = None,
             errors: Optional[str] = None, newline: Optional[str] = None) -> Any:
        """A file object onto this object: ``"rb"``, ``"r"``, ``"wb"`` or ``"w"``.

        Reading streams the object with ranged GETs through a buffer of ``buffering``
        bytes (1 MiB by default; 0 gives the unbuffered reader in ``"rb"``); it is
        seekable, pinned to the object's ETag at ``open()``, and a missing object raises
        FileNotFoundError here.  Writing sends parts of 8 MiB as they fill and stores
        the object at ``close()``; an exception inside ``with`` stores nothing.  Text
        modes default to UTF-8.
        """
        if not isinstance(mode, str) or mode not in _MODES:
            raise ValueError(f"open() mode must be one of 'rb', 'r', 'wb', 'w', not {mode!r}")
        if isinstance(buffering, bool) or not isinstance(buffering, int):
            raise TypeError(f"buffering must be an int, not {type(buffering).__name__}")
        binary = mode.endswith("b")
        if binary and (encoding is not None or errors is not None or newline is not None):
            raise ValueError("binary mode takes no encoding, errors or newline argument")
        if not binary and buffering == 0:
            raise ValueError("can't have unbuffered text I/O")
        writing = mode.startswith("w")
        key = self._object_key(f"open() in mode {mode!r}") if writing else self._key()
        bucket = self._bucket()
        if not key:
            raise missing_object(key, bucket)  # the root is never an object to read
        client = self.client
        if writing:
            writer = ObjectWriter(client, bucket, key)
            if binary:
                return writer
            return TextWriter(writer, encoding=encoding or "utf-8", errors=errors,
                               newline=newline, line_buffering=buffering == 1,
                               write_through=True)
        stat = stat_object(client, bucket, key)
        raw = ObjectReader(client, bucket, key, int(stat.size), clean_etag(stat.etag))
        if buffering == 0:
            return raw
        size = READ_BUFFER if buffering < 0 or buffering == 1 else buffering
        reader = io.BufferedReader(raw, buffer_size=size)
        if binary:
            return reader
        return io.TextIOWrapper(reader, encoding=encoding or "utf-8", errors=errors,
                                newline=newline)
