"""Progress of a transfer: nothing, a tqdm bar, or a callable told (bytes_done, bytes_total).

Workers report from many threads at once; :class:`Progress` serialises their reports.
"""

from __future__ import annotations

import importlib
import threading
from typing import Any, Callable, Optional, Union

ProgressArg = Union[None, bool, Callable[[int, int], object]]

__all__ = ["Progress", "ProgressArg", "check_progress"]


def _tqdm_class() -> Any:
    try:
        module = importlib.import_module("tqdm.auto")
    except ImportError as exc:
        raise ImportError("progress=True needs tqdm: pip install "
                          "'quorvex-minio-path[progress]'") from exc
    return module.tqdm


def check_progress(progress: Any) -> ProgressArg:
    """``progress`` if a transfer can report to it: None, a bool or a callable.

    TypeError for anything else; ImportError for True when tqdm is not installed.  Every
    transfer calls this before it changes anything, local or remote.
    """
    if progress is not None and not isinstance(progress, bool) and not callable(progress):
        raise TypeError("progress must be None, True, False or a callable taking "
                        f"(bytes_done, bytes_total), not {type(progress).__name__}")
    if progress is True:
        _tqdm_class()
    checked: ProgressArg = progress
    return checked


class Progress:
    """Bytes and files done out of a known total, reported as ``progress`` asks.

    ``progress`` is None or False (report nothing), True (a tqdm bar counting bytes, with
    the files done in its postfix) or a callable given ``(bytes_done, bytes_total)`` after
    every change.  ``advance`` may be given a negative count: a retried file takes back
    what its failed attempt had reported.
    """

    def __init__(self, progress: ProgressArg, total_bytes: int, total_files: int,
                 label: str) -> None:
        check_progress(progress)
        self._lock = threading.Lock()
        self.bytes_done = 0
        self.files_done = 0
        self.total_bytes = total_bytes
        self.total_files = total_files
        self._callback: Optional[Callable[[int, int], object]] = None
        self._bar: Any = None
        if progress is True:
            self._bar = _tqdm_class()(total=total_bytes, unit="B", unit_scale=True,
                                      unit_divisor=1024, desc=label, leave=True)
            self._bar.set_postfix_str(f"files 0/{total_files}", refresh=False)
        elif callable(progress):
            self._callback = progress

    @property
    def active(self) -> bool:
        return self._bar is not None or self._callback is not None

    def advance(self, count: int) -> None:
        """``count`` more bytes are done (fewer, when negative)."""
        if not self.active or count == 0:
            return
        with self._lock:
            self.bytes_done += count
            done = self.bytes_done
            if self._bar is not None:
                self._bar.update(count)
            if self._callback is not None:
                self._callback(done, self.total_bytes)

    def take_back(self, count: int) -> None:
        """``count`` bytes reported by a failed attempt are no longer done.

        Called while that failure is being raised: an error of the callable here is
        dropped, so the failure (often the callable's own error) is the one the caller sees.
        """
        try:
            self.advance(-count)
        except Exception:  # noqa: BLE001 - the failure being raised is the one to report
            pass

    def file_done(self) -> None:
        with self._lock:
            self.files_done += 1
            if self._bar is not None:
                self._bar.set_postfix_str(f"files {self.files_done}/{self.total_files}")

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
