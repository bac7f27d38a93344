"""Streaming access to one object through open(): ranged reads and multipart writes."""

from __future__ import annotations


class StreamsMixin:
    """File objects onto one object of the store."""

    __slots__ = ()
