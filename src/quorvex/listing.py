"""Listings with details: scandir, iterdir, walk, rglob and du, lazily, page by page."""

from __future__ import annotations


class ListingMixin:
    """What lies below a path, from the store's listings."""

    __slots__ = ()
