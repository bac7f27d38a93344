"""The errors of the toolbox, and the one translation of the store's "missing".

Every error this package defines derives from :class:`QuorvexError`, and also from the
built-in a caller would catch for its kind:

``ConfigurationError`` (a ``LookupError``)
    A setting that is needed is missing, or the configuration file cannot be used.
``BucketNotConfiguredError`` (a ``ConfigurationError`` and a ``ValueError``)
    The section names no bucket; raised before any request.
``TLSError`` (a ``ConfigurationError`` and an ``OSError``)
    The TLS handshake failed.  It is an ``OSError`` like every other failure of a
    connection, and a ``ConfigurationError`` because a setting has to change.
``RootIsNotAnObjectError`` (a ``ValueError`` and an ``IsADirectoryError``)
    The bucket's root was given where an object name is needed.
``ObjectChangedError``, ``TransferError`` (``OSError``\\ s)
    An open reader's object was replaced; a tree transfer stopped at its first failure.
``UnexpectedReplyError`` (an ``OSError``)
    The store (or a proxy before it) answered a request with something that does not
    answer it: a ranged GET with another range.  Not retried.

A missing bucket or object is the built-in ``FileNotFoundError``, made by
:func:`missing_bucket` and :func:`missing_object` with the texts the store class's own
members use; :func:`translate` turns the SDK's error for either into it.
"""

from __future__ import annotations

from typing import Any, Optional, Sequence

from minio.error import S3Error

__all__ = ["BucketNotConfiguredError", "ConfigurationError", "NAMED_IN_MESSAGES",
           "ObjectChangedError", "QuorvexError", "RootIsNotAnObjectError", "TLSError",
           "TransferError", "UnexpectedReplyError", "is_missing", "missing_bucket",
           "missing_object", "translate"]


class QuorvexError(Exception):
    """The base of every error this package defines."""


class ConfigurationError(QuorvexError, LookupError):
    """A setting that is needed is missing, or the configuration file cannot be used."""


class BucketNotConfiguredError(ConfigurationError, ValueError):
    """The configuration section names no bucket (it was a ValueError before it was a
    ConfigurationError, and is both)."""


class TLSError(ConfigurationError, OSError):
    """The TLS handshake with a store failed: the section's ``secure`` setting does not
    match the server, or the server's certificate does not verify against the CA bundle
    (``SSL_CERT_FILE``, else certifi's).  Trying again does not help, so it is not retried.
    """


class RootIsNotAnObjectError(QuorvexError, ValueError, IsADirectoryError):
    """The bucket's root was given where an object name is needed."""

    def __init__(self, what: str) -> None:
        super().__init__(f"{what} needs an object name, and the bucket's root is not an "
                         "object")


class ObjectChangedError(QuorvexError, OSError):
    """The object behind an open reader was replaced or removed."""


class UnexpectedReplyError(QuorvexError, OSError):
    """A reply that does not answer its request: a GET from an offset answered with the
    bytes of another range, or with a status that is neither 206 nor 200."""


class TransferError(QuorvexError, OSError):
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


#: How many names a message of a failure of many (removals, transfers) lists; all of them
#: are in the error's attributes.
NAMED_IN_MESSAGES = 5


# -- "missing" ---------------------------------------------------------------------------

# The codes under which the SDK reports an object that is not there (a HEAD reply has no
# body, so the SDK names a 404 on an object NoSuchKey).
_MISSING_OBJECT_CODES = frozenset({"NoSuchKey", "NoSuchObject", "NotFound"})
_MISSING_BUCKET_CODE = "NoSuchBucket"


def missing_bucket(bucket: Optional[str]) -> FileNotFoundError:
    """The error for a bucket that does not exist."""
    return FileNotFoundError(f"Bucket: '{bucket}' does not exist.")


def missing_object(key: str, bucket: Optional[str]) -> FileNotFoundError:
    """The error for an object (or a prefix) that does not exist."""
    return FileNotFoundError(f"'{key or '/'}' does not exist in bucket '{bucket}'.")


def is_missing(exc: BaseException) -> bool:
    """Whether ``exc`` is the SDK's report of a missing bucket or object."""
    return isinstance(exc, S3Error) and \
        (exc.code == _MISSING_BUCKET_CODE or exc.code in _MISSING_OBJECT_CODES)


def translate(exc: BaseException, bucket: Optional[str], key: str) -> BaseException:
    """``exc`` as this package reports it: a FileNotFoundError for a missing bucket or
    object (with ``exc`` as its cause), anything else as it is."""
    if isinstance(exc, S3Error):
        if exc.code == _MISSING_BUCKET_CODE:
            error = missing_bucket(bucket)
        elif exc.code in _MISSING_OBJECT_CODES:
            error = missing_object(key, bucket)
        else:
            return exc
        error.__cause__ = exc
        return error
    return exc
