"""A pure-Python yardstick for the extension's class, used only by the benchmark.

``MinIOPath`` here derives from the same ``BasePath`` as the extension's class, reads its
settings through the same ``Local`` and ``EnvConfig`` providers, wraps the same ten members
in the same ``retry()`` decorator, and makes the same calls (where the extension checks
the object name between evaluating a request's arguments, the twin reads the name just
before the request, which costs the same).  What differs
is only that each body runs as Python bytecode instead of compiled C++, so timing one against
the other measures what compiling the bodies buys.

Argument checks are exact-type checks made when the member is called, before its body runs,
with the extension's messages.
"""

from __future__ import annotations

import datetime
import fnmatch
import io
import pathlib
from typing import Any, Generator

from minio import Minio
from minio.deleteobjects import DeleteObject
from minio.error import S3Error

from quorvex.base import BasePath, Local, retry
from quorvex.config import EnvConfig

__all__ = ["MinIOPath"]


def _wrong_argument(param: str, expected: str, value: object) -> TypeError:
    return TypeError(f"Argument '{param}' has incorrect type (expected {expected}, "
                     f"got {type(value).__name__})")


def _not_an_object(member: str) -> ValueError:
    return ValueError(f"{member}: the bucket's root is not an object; give a path below it")


_ROOT_DELETE = ("delete(): the bucket's root cannot be deleted; to empty the bucket, delete "
                "each entry that glob() yields, and delete_bucket() once it is empty")
_TRANSIENT_CODES = ("InternalError", "ServiceUnavailable", "SlowDown", "RequestTimeout")


class MinIOPath(BasePath):
    _section = ("minio",)
    _creator = Minio

    client: Minio

    # -- identity ------------------------------------------------------------------------

    @property
    def bucket_name(self) -> str | None:
        if not Local.hasattr(self._section_key_on_thread()):
            self._valid_reset()
        configer = EnvConfig.init_configer()
        value = configer.get(Local.getattr(self._section_key_on_thread()), "bucket_name")
        if value is not None and type(value) is not str:
            raise TypeError(f"Expected unicode, got {type(value).__name__}")
        return value

    def __str__(self) -> str:
        return f"(bucket='{self.bucket_name}', path='{self.path.as_posix()}')"

    def __hash__(self) -> int:
        return hash((self.bucket_name, self.path))

    # -- bucket operations ---------------------------------------------------------------

    @property
    @retry()
    def bucket_exists(self) -> bool:
        return self.client.bucket_exists(self.bucket_name)

    @retry()
    def create_bucket(self) -> None:
        if not self.bucket_exists:
            self.client.make_bucket(self.bucket_name)

    def delete_bucket(self) -> None:
        if self.bucket_exists:
            self.client.remove_bucket(self.bucket_name)

    # -- queries -------------------------------------------------------------------------

    @property
    @retry()
    def exists(self) -> bool:
        try:
            self.client.stat_object(self.bucket_name, self.path.as_posix())
            return True
        except S3Error as exc:
            if exc.code == "NoSuchBucket":
                raise FileNotFoundError(f"Bucket: '{self.bucket_name}' does not exist.")
            if exc.code in _TRANSIENT_CODES:
                raise
            return False

    @retry()
    def is_dir(self) -> bool:
        prefix = self.path.as_posix().strip("/") + "/"
        for obj in self.client.list_objects(self.bucket_name, prefix=prefix, recursive=False):
            if obj.object_name != prefix:
                return True
        return False

    @retry()
    def read(self) -> bytes:
        if not self.exists:
            raise FileNotFoundError(
                f"'{self.path}' does not exist in bucket '{self.bucket_name}'.")
        response = self.client.get_object(self.bucket_name, self.path.as_posix())
        try:
            data = response.read()
            if data is not None and type(data) is not bytes:
                raise TypeError(f"Expected bytes, got {type(data).__name__}")
            return data
        finally:
            try:
                response.close()
            finally:
                response.release_conn()

    @retry()
    def write(self, data: bytes) -> None:
        if type(data) is not bytes:
            raise _wrong_argument("data", "bytes", data)
        data_stream = io.BytesIO(data)
        data_stream.seek(0, io.SEEK_END)
        size = data_stream.tell()
        data_stream.seek(0)
        name = self.path.as_posix()
        if not name.strip("/"):
            raise _not_an_object("write()")
        self.client.put_object(self.bucket_name, name, data_stream, length=size)

    @retry()
    def upload(self, local_path: str) -> None:
        if type(local_path) is not str:
            raise _wrong_argument("local_path", "str", local_path)
        if not local_path:
            raise ValueError("Argument 'local_path' must not be empty")
        _local_path = pathlib.Path(local_path)
        if _local_path.is_dir():
            for item in _local_path.iterdir():
                self.join(item.name).upload(item.as_posix())
        else:
            name = self.path.as_posix()
            if not name.strip("/"):
                raise _not_an_object("upload() of a file")
            self.client.fput_object(self.bucket_name, name, _local_path.as_posix())

    # -- deletion ------------------------------------------------------------------------

    @retry()
    def delete(self, recursive: bool = True) -> None:
        if recursive and not self.path.as_posix().strip("/"):
            raise ValueError(_ROOT_DELETE)
        if recursive and self.is_dir():
            text = self.path.as_posix()
            objs = self.client.list_objects(self.bucket_name, prefix=text.strip("/") + "/",
                                            recursive=True)
            delete_objects = [DeleteObject(obj.object_name) for obj in objs]
            own = all(record.name != text for record in delete_objects)
            if own:
                delete_objects.append(DeleteObject(text))
            for del_err in self.client.remove_objects(self.bucket_name, delete_objects):
                if own and del_err.name == text and del_err.code == "AccessDenied":
                    continue
                print(f"Error deleting object '{del_err.name}' from bucket "
                      f"'{self.bucket_name}': {del_err.message}", flush=True)
        else:
            name = self.path.as_posix()
            if not name.strip("/"):
                raise ValueError(_ROOT_DELETE)
            self.client.remove_object(self.bucket_name, name)

    def mkdir(self) -> None:
        raise NotImplementedError("MinIOPath does not support the 'mkdir' method.")

    # -- listing -------------------------------------------------------------------------

    @retry()
    def glob(self, pattern: str = "*") -> Generator[MinIOPath, Any, Any]:
        # The argument is checked at the call, as the extension checks it; the listing
        # starts at the first item.
        if type(pattern) is not str:
            raise _wrong_argument("pattern", "str", pattern)
        return self._glob(pattern)

    def _glob(self, pattern: str) -> Generator[MinIOPath, Any, Any]:
        path = self.path.as_posix().lstrip("/")
        prefix = path + "/" if path else None
        head = prefix or ""
        for obj in self.client.list_objects(self.bucket_name, prefix=prefix, recursive=False):
            name = obj.object_name
            if name.startswith(head) and not name[len(head):].strip("/"):
                continue  # the listed directory itself
            if fnmatch.fnmatch(name, pattern):
                yield MinIOPath(path="/" + obj.object_name.lstrip("/"))

    @property
    @retry()
    def mtime(self) -> datetime.datetime:
        if not self.exists:
            raise FileNotFoundError(f"'{self.path}' does not exist.")
        stat = self.client.stat_object(self.bucket_name, self.path.as_posix())
        return datetime.datetime.fromtimestamp(stat.last_modified.timestamp())
