"""Whole-object content as text or bytes: read_text, write_text, read_bytes, write_bytes.

They are ``read()`` and ``write()`` of the store class with pathlib's shapes (and their
retries): text is
encoded and decoded here (UTF-8 unless told, no newline translation, so what is written is
read back exactly), and writes accept any bytes-like object.
"""

from __future__ import annotations

import codecs
from typing import Union

from minio.error import S3Error

from quorvex.path_algebra import StorePathMixin

__all__ = ["ContentMixin"]

# What write_bytes() takes: anything with the buffer protocol.
BytesLike = Union[bytes, bytearray, memoryview]


def _check_codec(encoding: object, errors: object, what: str) -> None:
    # Arguments are checked before any request: an unknown codec is a LookupError here.
    for name, value in (("encoding", encoding), ("errors", errors)):
        if not isinstance(value, str):
            raise TypeError(f"{what} takes a str {name}, not {type(value).__name__}")
    assert isinstance(encoding, str) and isinstance(errors, str)
    codecs.lookup(encoding)
    codecs.lookup_error(errors)


class ContentMixin(StorePathMixin):
    """An object's whole content in one request."""

    __slots__ = ()

    def read_bytes(self) -> bytes:
        """The whole object as bytes: ``read()``, FileNotFoundError when it is missing."""
        self._bucket()
        return self.read()

    def read_text(self, encoding: str = "utf-8", errors: str = "strict") -> str:
        """The whole object decoded as text (UTF-8 unless ``encoding`` says otherwise)."""
        _check_codec(encoding, errors, "read_text()")
        self._bucket()
        return self.read().decode(encoding, errors)

    def write_bytes(self, data: BytesLike) -> int:
        """Stores ``data`` (bytes, bytearray, memoryview, any buffer) as the object.

        Returns the number of bytes written.  One write request.
        """
        if type(data) is not bytes:
            try:
                view = memoryview(data)
            except TypeError:
                raise TypeError("write_bytes() takes a bytes-like object, "
                                f"not {type(data).__name__}") from None
            with view:
                data = view.tobytes()
        self._object_key("write_bytes()")
        self._bucket()
        self._write_translated(data)
        return len(data)

    def write_text(self, data: str, encoding: str = "utf-8", errors: str = "strict") -> int:
        """Stores ``data`` encoded as text; returns the number of characters written."""
        if not isinstance(data, str):
            raise TypeError(f"write_text() takes str data, not {type(data).__name__}")
        _check_codec(encoding, errors, "write_text()")
        self._object_key("write_text()")
        self._bucket()
        self._write_translated(data.encode(encoding, errors))
        return len(data)

    def _write_translated(self, data: bytes) -> None:
        # write() lets the store's own error for a missing bucket through; the toolbox
        # reports it as FileNotFoundError, as every other door does.
        try:
            self.write(data)
        except S3Error as exc:
            raise self._store_error(exc) from None
