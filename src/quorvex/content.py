"""Whole-object content as text or bytes: read_text, write_text, read_bytes, write_bytes."""

from __future__ import annotations


class ContentMixin:
    """An object's whole content in one request."""

    __slots__ = ()
