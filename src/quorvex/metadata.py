"""Metadata of one object: stat, is_file, touch and unlink."""

from __future__ import annotations


class MetadataMixin:
    """Questions and small changes about exactly one object."""

    __slots__ = ()
