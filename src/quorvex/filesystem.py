"""An fsspec filesystem onto one bucket: ``quorvex://<key>`` for pandas, pyarrow and Dask.

``quorvex://reports/2026.csv`` names the key ``reports/2026.csv`` in the bucket of the
configuration section ``"minio"``; ``storage_options={"section": "minio.archive"}`` (or
``fsspec.filesystem("quorvex", section="minio.archive")``) picks another section.  The
bucket is never part of the URL: it is the section's ``bucket_name``, as for every path.

Every call runs on the filesystem's section in the calling thread, whichever thread that
is, through ``MinIOPath.use_section``; the requests are those of ``MinIOPath`` and its
toolbox (one SDK client per section and process).  Object stores have no directories: a
directory is a prefix with at least one object below it, or a folder marker (the empty
object "<key>/" that consoles make); ``mkdir``/``makedirs`` store nothing.

The package registers the protocol through the ``fsspec.specs`` entry point, so any process
with the package installed (a Dask worker too) finds it without importing this module.
:func:`configure_workers` gives a Dask cluster's workers a section's settings without
putting the secret key into their environment.
"""

from __future__ import annotations

import datetime
import io
import os
import shutil
from typing import Any, Iterator, Optional, Union, cast

# fsspec ships no types; the main environment may lack it (it is an optional extra).
from fsspec import (  # type: ignore[import-untyped,import-not-found,unused-ignore]
    AbstractFileSystem)

from quorvex.config import EnvConfig, check_section_name, configure
from quorvex.errors import missing_object
from quorvex.minio.path import MinIOPath
from quorvex.path_algebra import join_key
from quorvex.sizes import READ_BUFFER
from quorvex.streams import ObjectReader, TextWriter, stat_object

__all__ = ["ObjectFile", "QuorvexFileSystem", "configure_workers"]

Info = dict[str, Any]

#: The protocol of the filesystem's URLs.
PROTOCOL = "quorvex"

# The settings configure_workers hands on: those the client is built from, and the bucket.
_WORKER_KEYS = ("endpoint", "access_key", "secret_key", "secure", "region",
                "max_connections", "bucket_name")


class ObjectFile(io.BufferedReader):
    """What ``open(path, "rb")`` gives: the seekable streaming reader of one object.

    A ``BufferedReader`` over the object's ranged GETs, pinned to the ETag it had when it
    was opened, with the ``size``, ``path`` and ``fs`` that fsspec's own files have.
    """

    def __init__(self, raw: ObjectReader, fs: "QuorvexFileSystem", path: str,
                 buffer_size: int = READ_BUFFER) -> None:
        super().__init__(raw, buffer_size=buffer_size)
        self.fs = fs
        self.path = path

    @property
    def size(self) -> int:
        """The object's size in bytes, as seen when it was opened."""
        return cast(ObjectReader, self.raw).size


def _file_info(name: str, size: Optional[int], etag: Optional[str],
               last_modified: Optional[datetime.datetime], **more: Any) -> Info:
    return {"name": name, "size": size or 0, "type": "file", "etag": etag,
            "last_modified": last_modified, **more}


def _directory_info(name: str) -> Info:
    return {"name": name, "size": 0, "type": "directory"}


def _parents_below(relative: str, maxdepth: Optional[int]) -> Iterator[str]:
    # "a/b/c.txt" -> "a", "a/b": the directories an object's key makes below the top,
    # down to ``maxdepth`` levels.
    parts = relative.split("/")[:-1]
    for depth in range(1, min(len(parts), maxdepth or len(parts)) + 1):
        yield "/".join(parts[:depth])


class QuorvexFileSystem(AbstractFileSystem):  # type: ignore[misc]  # fsspec has no types
    """fsspec's view of the bucket of one configuration section (``"minio"`` by default).

    Paths are keys: ``_strip_protocol("quorvex://a/b.csv")`` is ``"a/b.csv"`` and the root
    is ``""``.  Instances are cached per section, and pickle as their section alone, so a
    worker process rebuilds one from its own configuration.
    """

    protocol = PROTOCOL
    root_marker = ""

    def __init__(self, section: str = "minio", **kwargs: Any) -> None:
        super().__init__(section=section, **kwargs)
        self.section = check_section_name(section)

    # -- names ---------------------------------------------------------------------------

    @classmethod
    def _strip_protocol(cls, path: Any) -> Any:
        """The key of ``path``: no protocol, no leading or trailing "/", "" for the root."""
        if isinstance(path, list):
            return [cls._strip_protocol(item) for item in path]
        stripped: str = super()._strip_protocol(path)
        return stripped.lstrip("/")

    def _path(self, path: str) -> MinIOPath:
        return MinIOPath(path=self._strip_protocol(path))

    def _on_section(self) -> Any:
        return MinIOPath.use_section(self.section)

    # -- listings ------------------------------------------------------------------------

    def ls(self, path: str, detail: bool = True, **kwargs: Any) -> Union[list[Info], list[str]]:
        """The objects and directories directly below ``path`` (one listing request per
        1,000 entries); ``[info]`` for an object; FileNotFoundError for neither."""
        key = self._strip_protocol(path)
        with self._on_section():
            entries: list[Info] = []
            for entry in self._path(key).scandir():
                name = join_key(key, entry.name)
                if entry.is_dir():
                    entries.append(_directory_info(name))
                else:
                    entries.append(_file_info(name, entry.size, entry.etag,
                                              entry.last_modified))
            if not entries and key:
                try:
                    entries = [self._object_info(key)]
                except FileNotFoundError:
                    if not self._has_marker(key):
                        raise
        return entries if detail else [entry["name"] for entry in entries]

    def find(self, path: str, maxdepth: Optional[int] = None, withdirs: bool = False,
             detail: bool = False, **kwargs: Any) -> Union[list[str], dict[str, Info]]:
        """Every object below ``path`` (and, with ``withdirs``, every directory), sorted.

        One recursive listing (one request per 1,000 objects); with ``maxdepth=1`` one
        listing of the first level only.  An object's key gives ``[path]``.
        """
        if maxdepth is not None and maxdepth < 1:
            raise ValueError("maxdepth must be at least 1")
        key = self._strip_protocol(path)
        found: dict[str, Info] = {}
        with self._on_section():
            if maxdepth == 1:
                for info in self._ls_or_empty(key):
                    if withdirs or info["type"] == "file":
                        found[info["name"]] = info
            else:
                for entry in self._path(key).scandir(recursive=True):
                    relative = entry.path.path.as_posix()[len(key) + 1 if key else 0:]
                    if withdirs:
                        for folder in _parents_below(relative, maxdepth):
                            found.setdefault(join_key(key, folder),
                                             _directory_info(join_key(key, folder)))
                    if maxdepth is None or relative.count("/") < maxdepth:
                        name = join_key(key, relative)
                        found[name] = _file_info(name, entry.size, entry.etag,
                                                 entry.last_modified)
            if found and withdirs and key:
                found[key] = _directory_info(key)
            if not found and key:
                try:
                    found[key] = self._object_info(key)
                except FileNotFoundError:
                    pass
        names = sorted(found)
        return {name: found[name] for name in names} if detail else names

    def _ls_or_empty(self, key: str) -> list[Info]:
        try:
            return cast(list[Info], self.ls(key, detail=True))
        except FileNotFoundError:
            return []

    def info(self, path: str, **kwargs: Any) -> Info:
        """An object's size, ETag, modification time and type (one HEAD), else a
        directory when anything lies below the prefix (one listing request) or its
        folder marker exists (one more HEAD).

        The root is always a directory; FileNotFoundError for anything else.
        """
        key = self._strip_protocol(path)
        if not key:
            return _directory_info("")
        with self._on_section():
            try:
                return self._object_info(key)
            except FileNotFoundError:
                if next(iter(self._path(key).scandir()), None) is None and \
                        not self._has_marker(key):
                    raise
            return _directory_info(key)

    def _object_info(self, key: str) -> Info:
        stat = self._path(key).stat()
        return _file_info(key, stat.size, stat.etag, stat.last_modified,
                          content_type=stat.content_type)

    def _has_marker(self, key: str) -> bool:
        # The folder marker "<key>/" (a store's console makes them; listings show the
        # prefix) makes an empty directory: one status request.
        path = self._path(key)
        try:
            stat_object(path.client, path._bucket(), key + "/")
        except FileNotFoundError:
            return False
        return True

    def exists(self, path: str, **kwargs: Any) -> bool:
        """Whether ``path`` is an object or a directory.  A failure other than "missing"
        (a refused request, a lost connection) is raised, not answered with False."""
        try:
            self.info(path)
        except FileNotFoundError:
            return False
        return True

    def du(self, path: str, total: bool = True, maxdepth: Optional[int] = None,
           withdirs: bool = False, **kwargs: Any) -> Union[int, dict[str, int]]:
        """Bytes below ``path`` (an object's own size for an object); per object with
        ``total=False``.  A total is one recursive listing."""
        if total and maxdepth is None and not withdirs:
            with self._on_section():
                usage = self._path(path).du()
            if usage.count:
                return usage.size
        return cast(Union[int, dict[str, int]],
                    super().du(path, total=total, maxdepth=maxdepth, withdirs=withdirs))

    def modified(self, path: str) -> datetime.datetime:
        """The object's last modification (aware UTC); IsADirectoryError for a directory."""
        info = self.info(path)
        if info["type"] != "file":
            raise IsADirectoryError(f"{info['name'] or '/'!r} is a directory, which has no "
                                    "modification time in an object store")
        return cast(datetime.datetime, info["last_modified"])

    def created(self, path: str) -> datetime.datetime:
        """When the object was created: its last modification, since an object is
        replaced whole, never changed in place."""
        return self.modified(path)

    # -- directories -----------------------------------------------------------------------

    def mkdir(self, path: str, create_parents: bool = True, **kwargs: Any) -> None:
        """Stores nothing: a directory exists while an object lies below it."""

    def makedirs(self, path: str, exist_ok: bool = False) -> None:
        """Stores nothing (as ``mkdir``); ``exist_ok`` is accepted for fsspec's callers."""

    def rmdir(self, path: str) -> None:
        """Removes nothing: a directory goes with the last object below it."""

    # -- content ---------------------------------------------------------------------------

    def open(self, path: str, mode: str = "rb", block_size: Optional[int] = None,
             cache_options: Optional[dict[str, Any]] = None, compression: Optional[str] = None,
             **kwargs: Any) -> Any:
        """fsspec's ``open``; text written in mode "w" or "x" is stored at ``close()`` and,
        as in "wb", not at all when the ``with`` block raises (fsspec's own text wrapper
        would store the part written so far)."""
        if "b" in mode or mode.replace("t", "") not in ("w", "x") or compression:
            return super().open(path, mode, block_size=block_size,
                                cache_options=cache_options, compression=compression,
                                **kwargs)
        text = {name: kwargs.pop(name) for name in ("encoding", "errors", "newline")
                if name in kwargs}
        binary = super().open(path, mode.replace("t", "") + "b", block_size=block_size,
                              cache_options=cache_options, **kwargs)
        return TextWriter(binary, write_through=True, **text)

    def _open(self, path: str, mode: str = "rb", block_size: Optional[int] = None,
              autocommit: bool = True, cache_options: Optional[dict[str, Any]] = None,
              **kwargs: Any) -> Any:
        """``"rb"``: an :class:`ObjectFile` (FileNotFoundError for a missing object);
        ``"wb"``: the multipart writer, which stores the object at ``close()`` and
        nothing when the ``with`` block raises; ``"xb"``: the same, FileExistsError
        when the object exists."""
        if not autocommit:
            raise NotImplementedError("quorvex:// writes are stored at close(); fsspec "
                                      "transactions are not supported")
        key = self._strip_protocol(path)
        with self._on_section():
            target = self._path(key)
            if mode == "rb":
                raw = target.open("rb", buffering=0)
                return ObjectFile(raw, self, key, block_size or READ_BUFFER)
            if mode == "xb" and target.exists:
                raise FileExistsError(f"'{key}' already exists in bucket "
                                      f"'{target.bucket_name}'.")
            if mode in ("wb", "xb"):
                return target.open("wb")
        raise ValueError(f"quorvex:// files open in mode 'rb', 'wb' or 'xb' (objects are "
                         f"written whole), not {mode!r}")

    def cp_file(self, path1: str, path2: str, **kwargs: Any) -> None:
        """Copies one object on the server; a directory copies nothing (a recursive
        ``copy`` copies the objects below it one by one)."""
        with self._on_section():
            source = self._path(path1)
            if not source.exists:
                if self.isdir(path1):
                    return
                raise missing_object(self._strip_protocol(path1), source.bucket_name)
            source.copy(self._strip_protocol(path2))

    def get_file(self, rpath: str, lpath: Any, callback: Any = None, outfile: Any = None,
                 **kwargs: Any) -> None:
        """One object into the local file ``lpath`` (through a temporary file renamed
        into place), or into an open file; a directory makes the local folder."""
        if outfile is None and hasattr(lpath, "write"):
            outfile = lpath
        with self._on_section():
            source = self._path(rpath)
            if outfile is not None:
                with self.open(rpath, "rb") as stream:
                    shutil.copyfileobj(stream, outfile, READ_BUFFER)
                return
            if not source.exists:
                if self.isdir(rpath):
                    os.makedirs(lpath, exist_ok=True)
                    return
                raise missing_object(self._strip_protocol(rpath), source.bucket_name)
            source.download_to(os.fspath(lpath))

    def put_file(self, lpath: Any, rpath: str, callback: Any = None,
                 mode: str = "overwrite", **kwargs: Any) -> None:
        """The local file ``lpath`` to the object ``rpath`` (in parts when large); a
        local folder stores nothing.  ``mode="create"`` refuses an existing object."""
        with self._on_section():
            target = self._path(rpath)
            if mode == "create" and target.exists:
                raise FileExistsError(f"'{self._strip_protocol(rpath)}' already exists in "
                                      f"bucket '{target.bucket_name}'.")
            if os.path.isdir(lpath):
                return
            target.upload_from(os.fspath(lpath))

    # -- removal ---------------------------------------------------------------------------

    def rm_file(self, path: str) -> None:
        """Removes exactly one object; FileNotFoundError when it is missing."""
        with self._on_section():
            self._path(path).unlink()

    def rm(self, path: Union[str, list[str]], recursive: bool = False,
           maxdepth: Optional[int] = None) -> None:
        """Removes objects: with ``recursive``, a directory and every object below it in
        batches; FileNotFoundError when a path names nothing.

        A glob or a ``maxdepth`` removes the objects it expands to, one by one (the
        directories among them go with their objects).
        """
        paths = [path] if isinstance(path, str) else list(path)
        with self._on_section():
            if maxdepth is not None or any(self._magic(item) for item in paths):
                for name in reversed(self.expand_path(paths, recursive=recursive,
                                                      maxdepth=maxdepth)):
                    self._path(name).unlink(missing_ok=True)
                return
            for item in paths:
                self._rm_one(self._strip_protocol(item), recursive)

    @staticmethod
    def _magic(path: str) -> bool:
        return any(char in path for char in "*?[")

    def _rm_one(self, key: str, recursive: bool) -> None:
        target = self._path(key)
        if not recursive:
            if not target.exists and self.isdir(key):
                raise IsADirectoryError(f"'{key}' is a directory: rm(recursive=True) "
                                        f"removes it with everything below it")
            target.unlink()
            return
        if not self.exists(key):
            raise missing_object(key, target.bucket_name)
        target.delete(recursive=True)
        # delete() reports what the store refused on standard output and goes on; here
        # a removal that left objects behind is an error.
        left = [entry.name for _, entry in zip(range(5), target.scandir(recursive=True))]
        if left or target.exists:
            raise PermissionError(f"rm of '{key}' in bucket '{target.bucket_name}' left "
                                  f"objects behind: {left or [key]}")


def _configure_worker(section: str, settings: dict[str, Any]) -> None:
    # Runs in each worker process: in-process values, never put into os.environ.
    configure(section, **settings)


def configure_workers(client: Any, section: str = "minio") -> None:
    """Gives every worker of the Dask ``client`` this process's settings of ``section``.

    The endpoint, keys, TLS, region, pool size and bucket, as this process sees them
    (``configure()`` values, environment or file), become ``configure()`` values in each
    worker process: they reach the workers through Dask's own connections and are never
    put into any environment.  Workers that join later need another call.
    """
    section = check_section_name(section)
    config = EnvConfig.init_configer()
    config.client_settings(section)  # ConfigurationError here for an unusable section
    settings = {key: config.get(section, key) for key in _WORKER_KEYS}
    client.run(_configure_worker, section,
               {key: value for key, value in settings.items() if value is not None})
