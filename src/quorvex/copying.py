"""Copies and moves within the store: copy and move of an object or a tree.

Copies are server-side: no object's bytes pass through the client.  A move removes each
source only after its copy succeeded.
"""

from __future__ import annotations

from typing import Any, Callable

from minio import Minio
from minio.commonconfig import CopySource

from quorvex._progress import Progress, ProgressArg
from quorvex.path_algebra import StorePathMixin
from quorvex.plans import check_workers, object_or_listing, run_tasks
from quorvex.retrying import retry
from quorvex.sizes import DEFAULT_WORKERS

__all__ = ["CopyingMixin"]


@retry()
def _copy_one(client: Minio, bucket: str, source_key: str, target_bucket: str,
              target_key: str) -> None:
    client.copy_object(target_bucket, target_key, CopySource(bucket, source_key))


@retry()
def _remove_one(client: Minio, bucket: str, key: str) -> None:
    client.remove_object(bucket, key)


class CopyingMixin(StorePathMixin):
    """Copying and moving objects and trees within the store."""

    __slots__ = ()

    def _target_key(self, target: Any) -> tuple[Any, str]:
        if isinstance(target, str):
            target = type(self)(path=target)
        if type(target) is not type(self):
            raise TypeError(f"the target must be a {type(self).__name__} or a str, not "
                            f"{type(target).__name__}")
        return target, target._key()

    def copy(self, target: Any, *, workers: int = DEFAULT_WORKERS,
             progress: ProgressArg = None) -> Any:
        """Copies this object, or every object below this prefix, to ``target``.

        The copy is server-side: no object's bytes pass through the client.  ``target``
        is a path of this class or a key; it is returned as a path.
        """
        return self._copy_or_move(target, workers, progress, move=False)

    def move(self, target: Any, *, workers: int = DEFAULT_WORKERS,
             progress: ProgressArg = None) -> Any:
        """Moves this object, or every object below this prefix, to ``target``.

        Each source is removed only after its copy succeeded; on a failure every source
        not copied stays where it was.
        """
        return self._copy_or_move(target, workers, progress, move=True)

    def _copy_or_move(self, target: Any, workers: int, progress: ProgressArg,
                      move: bool) -> Any:
        target, target_key = self._target_key(target)
        workers = check_workers(workers, self._current_section())
        client, bucket = self.client, self._bucket()
        target_bucket = target._bucket()
        if target_key == self._key() and target_bucket == bucket:
            raise ValueError(f"cannot {'move' if move else 'copy'} '{self._key() or '/'}' "
                             f"onto itself")
        prefix = self._prefix()
        remote, listing = object_or_listing(client, bucket, self._key(), prefix)
        verb = "move" if move else "copy"

        def one(source_key: str, destination: str) -> Callable[[], None]:
            def run() -> None:
                _copy_one(client, bucket, source_key, target_bucket, destination)
                if move:
                    _remove_one(client, bucket, source_key)
            return run

        if remote is not None:
            if not target_key:
                raise ValueError(f"cannot {verb} an object onto the bucket's root")
            meter = Progress(progress, remote.size, 1, verb)
            try:
                one(remote.key, target_key)()
                meter.advance(remote.size)
                meter.file_done()
            finally:
                meter.close()
            return target
        target_prefix = target._prefix()
        if move and target_bucket == bucket and target_prefix.startswith(prefix) and \
                target_prefix != prefix:
            raise ValueError(f"cannot move '{prefix}' into '{target_prefix}', which is "
                             f"below it")
        meter = Progress(progress, sum(item.size for item in listing), len(listing), verb)
        sizes = {item.key: item.size for item in listing}

        def counted(key: str, run: Callable[[], None]) -> Callable[[], None]:
            def counted_run() -> None:
                run()
                meter.advance(sizes[key])
            return counted_run

        try:
            run_tasks([(item.key, counted(item.key, one(
                item.key, target_prefix + item.key[len(prefix):]))) for item in listing],
                workers, verb, meter)
        finally:
            meter.close()
        return target


