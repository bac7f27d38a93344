"""Sizes and counts of the toolbox: parts, buffers, workers and connections.

The connection pool of a section's client holds ``max_connections`` connections per host
(:data:`quorvex.config.DEFAULT_MAX_CONNECTIONS` unless set); every thread of a transfer
that talks to the store uses one of them, so ``workers`` may not exceed it.  A tree
transfer sends each file's parts from its own worker (one connection a file); only a
single large file has :data:`SINGLE_FILE_PARTS_IN_FLIGHT` parts in flight at once.
"""

from __future__ import annotations

__all__ = ["CHUNK", "COPY_PART_SIZE", "DEFAULT_WORKERS", "DELETE_BATCH", "MAX_PARTS", "PART_SIZE",
           "PARTS_IN_FLIGHT", "RANGE_LIMIT", "READ_BUFFER", "SINGLE_COPY_LIMIT",
           "SINGLE_FILE_PARTS_IN_FLIGHT"]

#: Parts of a multipart upload by the toolbox's writer.  Objects up to one part go as a
#: single PUT.  Fixed, so that the ETag of an object the writer stored in parts can be
#: computed again from a local file (see quorvex.digests).
PART_SIZE = 8 * 1024 * 1024
#: The most parts one multipart upload may have.
MAX_PARTS = 10_000
#: Parts a writer opened with ``open("wb")`` has in flight while the next one fills.
PARTS_IN_FLIGHT = 2
#: Parts in flight for a single large file of ``upload_from`` (a tree has its files).
SINGLE_FILE_PARTS_IN_FLIGHT = 4
#: The longest ranged GET of a download through the transfer engine: a large object is
#: fetched in one range per worker, each between PART_SIZE and this.
RANGE_LIMIT = 64 * 1024 * 1024
#: The buffer of a reader from ``open("rb")``, and the block of a download.
READ_BUFFER = 1024 * 1024
CHUNK = 1024 * 1024
#: Files (or objects) a tree transfer moves at once, unless ``workers`` says.
DEFAULT_WORKERS = 16
#: Keys per batch removal request (the store's limit).
DELETE_BATCH = 1000
#: The largest object one server-side copy request may copy (larger ones are copied in
#: parts).
SINGLE_COPY_LIMIT = 5 * 1024 * 1024 * 1024
#: The parts of a server-side copy above SINGLE_COPY_LIMIT (at most MAX_PARTS of them
#: cover the largest object a store takes, 5 TiB).
COPY_PART_SIZE = 512 * 1024 * 1024
