"""Path algebra: names, parents, joins, ordering and URIs of paths, without any request."""

from __future__ import annotations


class PathAlgebraMixin:
    """What every path can say about its own name, computed from ``self.path`` alone."""

    __slots__ = ()
