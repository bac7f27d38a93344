"""Statistics, interleaved pair timing and table printing shared by the benchmark sections."""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import asdict, dataclass, field
from typing import Any, Callable, Optional, Sequence


@dataclass
class Spread:
    """The median of some samples with their minimum and maximum."""

    median: float
    low: float
    high: float
    n: int

    @classmethod
    def of(cls, samples: Sequence[float]) -> "Spread":
        return cls(statistics.median(samples), min(samples), max(samples), len(samples))

    def as_dict(self) -> dict[str, float]:
        return asdict(self)


def interleave(contenders: Sequence[tuple[str, Callable[[], float]]], repeats: int,
               warmup: int = 1, between: Optional[Callable[[], None]] = None,
               ) -> dict[str, list[float]]:
    """Runs each contender's sample function ``repeats`` times, round by round.

    In every round each contender runs once; the order rotates from round to round so that
    no contender always runs first or last.  ``warmup`` rounds are run and dropped first.
    ``between`` runs (untimed) before every sample.  Returns the samples by name.
    """
    samples: dict[str, list[float]] = {name: [] for name, _ in contenders}
    count = len(contenders)
    for round_index in range(warmup + repeats):
        shift = round_index % count
        order = list(contenders[shift:]) + list(contenders[:shift])
        if round_index % 2:
            order.reverse()
        for name, sample in order:
            if between is not None:
                between()
            value = sample()
            if round_index >= warmup:
                samples[name].append(value)
    return samples


def ratios(numerator: Sequence[float], denominator: Sequence[float]) -> list[float]:
    """Round-by-round ratios of two interleaved sample lists."""
    return [a / b for a, b in zip(numerator, denominator) if b > 0]


def collect_garbage() -> None:
    gc.collect()


# -- formatting ---------------------------------------------------------------------------


def fmt_time(seconds: float) -> str:
    if seconds != seconds:  # NaN
        return "-"
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} us"
    if seconds < 1.0:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def fmt_spread_time(s: Spread) -> str:
    return f"{fmt_time(s.median)} [{fmt_time(s.low)}-{fmt_time(s.high)}]"


def fmt_ratio(s: Spread) -> str:
    return f"{s.median:.2f}x [{s.low:.2f}-{s.high:.2f}]"


def fmt_bytes(n: float) -> str:
    mib = n / (1024 * 1024)
    if abs(mib) >= 1:
        return f"{mib:.2f} MiB"
    return f"{n / 1024:.0f} KiB"


def fmt_spread_bytes(s: Spread) -> str:
    return f"{fmt_bytes(s.median)} [{fmt_bytes(s.low)}-{fmt_bytes(s.high)}]"


def print_table(title: str, header: Sequence[str], rows: Sequence[Sequence[str]],
                note: str = "") -> None:
    widths = [len(h) for h in header]
    for row in rows:
        for i, cell in enumerate(row):
            widths[i] = max(widths[i], len(cell))
    print()
    print(title)
    print("=" * len(title))
    line = "  ".join(h.ljust(widths[i]) for i, h in enumerate(header))
    print(line.rstrip())
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print("  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row)).rstrip())
    if note:
        print(note)
    sys.stdout.flush()


# -- the machine --------------------------------------------------------------------------


def machine_info() -> dict[str, Any]:
    info: dict[str, Any] = {
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "cpus": os.cpu_count(),
        "date": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
    }
    try:
        info["loadavg"] = os.getloadavg()
    except OSError:
        pass
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, timeout=10).stdout
        for line in out.splitlines():
            key, _, value = line.partition(":")
            if key.strip() in ("Model name", "CPU(s)", "Thread(s) per core", "CPU MHz",
                               "Hypervisor vendor"):
                info[key.strip()] = value.strip()
    except (OSError, subprocess.SubprocessError):
        pass
    try:
        with open("/proc/meminfo", encoding="ascii") as stream:
            info["MemTotal"] = stream.readline().split(":", 1)[1].strip()
    except OSError:
        pass
    versions = {}
    for name in ("minio", "moto", "s3fs", "cloudpathlib", "boto3", "botocore", "aiobotocore",
                 "quorvex-minio-path"):
        try:
            from importlib.metadata import version
            versions[name] = version(name)
        except Exception:  # noqa: BLE001 - a missing optional package is just absent
            versions[name] = None
    info["packages"] = versions
    return info


@dataclass
class Section:
    """What a section hands back to the runner: its rows and its verdicts."""

    name: str
    rows: list[dict[str, Any]] = field(default_factory=list)
    targets: list[dict[str, Any]] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)


def section_main(doc: Optional[str], run: Callable[[bool], Section],
                 report: Callable[[Section], None], argv: Optional[list[str]]) -> int:
    """The command line of one section: [--quick] [--json FILE]."""
    parser = argparse.ArgumentParser(description=(doc or "").splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="small sizes and few repetitions")
    parser.add_argument("--json", help="write the figures to this file")
    args = parser.parse_args(argv)
    section = run(args.quick)
    report(section)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as stream:
            json.dump({"rows": section.rows, "targets": section.targets}, stream, indent=1)
    return 0
