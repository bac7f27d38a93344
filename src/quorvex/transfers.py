"""Transfers between the local disk and the store, and within the store: download_to,
upload_from, copy and move, file by file in parallel."""

from __future__ import annotations


class TransferError(OSError):
    """A tree transfer that stopped at its first failure."""


class TransfersMixin:
    """Moving many objects and files at once."""

    __slots__ = ()
