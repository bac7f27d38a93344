"""Section 3: peak resident memory of write() and read() of one large object.

Each measurement runs in a fresh process: it imports everything, warms the client up with a
small request, prepares its data, resets the kernel's high-water mark of resident memory
(``echo 5 > /proc/self/clear_refs``), runs the one call, and reads the new high-water mark
(VmHWM).  What the call added is VmHWM minus the resident size at the reset; for a read this
includes the bytes returned.  The module and the SDK doing the same requests are measured
alternately, several times; the server runs in another process.

Where clear_refs cannot be written, the peak is ru_maxrss, which cannot be reset: the
warm-up and the data preparation then stay below the call's own peak only because the call
holds the data and more.
"""

from __future__ import annotations

import gc
import io
import json
import os
import resource
import statistics
import subprocess
import sys
from typing import Any, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import common  # noqa: E402

MIB = 1024 * 1024
TOLERANCE = MIB  # the module may add less than this over the SDK's own peak
OPS = ("write", "read")
IMPLS = ("module", "sdk")


def status_kib(field: str) -> Optional[int]:
    try:
        with open("/proc/self/status", encoding="ascii") as stream:
            for line in stream:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


def reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as stream:
            stream.write("5")
        return True
    except OSError:
        return False


def child(op: str, impl: str, key: str, size: int) -> dict[str, Any]:
    from e2e import fetch
    from quorvex.minio.path import MinIOPath

    bucket = os.environ["MINIO_BUCKET_NAME"]
    path = MinIOPath(path=key)
    client = path.client
    warm = MinIOPath(path=key + ".warm")

    def sdk_read(name: str) -> bytes:
        client.stat_object(bucket, name)
        return fetch(client, bucket, name)

    def sdk_write(name: str, data: bytes) -> None:
        stream = io.BytesIO(data)
        client.put_object(bucket, name, stream, length=len(data))

    # Warm-up: the same code path on a small object (imports, connection pool, buffers).
    small = b"w" * 65536
    if impl == "module":
        warm.write(small)
        warm.read()
    else:
        sdk_write(warm.path.as_posix(), small)
        sdk_read(warm.path.as_posix())

    data = os.urandom(size) if op == "write" else None
    gc.collect()
    resettable = reset_peak()
    base_kib = status_kib("VmRSS")
    if op == "write":
        assert data is not None
        if impl == "module":
            path.write(data)
        else:
            sdk_write(key, data)
        result_len = len(data)
    else:
        result = path.read() if impl == "module" else sdk_read(key)
        result_len = len(result)
    peak_kib = status_kib("VmHWM") if resettable else None
    if peak_kib is None:
        peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if result_len != size:
        raise AssertionError(f"{impl} {op} moved {result_len} bytes, expected {size}")
    return {"base": (base_kib or 0) * 1024, "peak": peak_kib * 1024,
            "added": (peak_kib - (base_kib or 0)) * 1024, "method":
            "VmHWM after clear_refs" if resettable else "ru_maxrss"}


def spawn(env: dict[str, str], op: str, impl: str, key: str, size: int) -> dict[str, Any]:
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", op, impl, key, str(size)],
        env={**os.environ, **env}, capture_output=True, text=True, check=False, timeout=900)
    if out.returncode != 0:
        raise RuntimeError(f"memory child {impl} {op} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def run(quick: bool) -> common.Section:
    from e2e import Server

    size = 8 * MIB if quick else 256 * MIB
    repeats = 1 if quick else 3
    section = common.Section("memory")
    bucket = f"quorvex-bench-mem-{os.getpid()}"
    with Server() as server, server.bucket(bucket) as client:
        env = server.env(bucket)
        read_key = "mem/read.bin"
        blob = os.urandom(size)
        client.put_object(bucket, read_key, io.BytesIO(blob), len(blob))
        del blob
        results: dict[tuple[str, str], list[dict[str, Any]]] = {
            (op, impl): [] for op in OPS for impl in IMPLS}
        for round_index in range(repeats):
            for op in OPS:
                order = IMPLS if round_index % 2 == 0 else tuple(reversed(IMPLS))
                for impl in order:
                    key = read_key if op == "read" else f"mem/write-{impl}.bin"
                    results[op, impl].append(spawn(env, op, impl, key, size))
    for op in OPS:
        row: dict[str, Any] = {"name": f"{op} ({size // MIB} MiB)", "size": size}
        for impl in IMPLS:
            added = [r["added"] for r in results[op, impl]]
            row[impl] = common.Spread.of(added).as_dict()
            row[f"{impl}_peak"] = common.Spread.of([r["peak"] for r in results[op, impl]]).as_dict()
            row["method"] = results[op, impl][0]["method"]
        extra = [m["added"] - s["added"] for m, s in zip(results[op, "module"],
                                                         results[op, "sdk"])]
        row["module - sdk"] = common.Spread.of(extra).as_dict()
        section.rows.append(row)
        median_extra = statistics.median(extra)
        section.targets.append({
            "what": f"memory: {row['name']}: module adds < 1 MiB over the SDK's peak",
            "measured": median_extra, "goal": TOLERANCE, "met": median_extra < TOLERANCE})
    return section


def report(section: common.Section) -> None:
    rows = []
    for row in section.rows:
        extra = common.Spread(**row["module - sdk"])
        rows.append([
            row["name"],
            common.fmt_spread_bytes(common.Spread(**row["module"])),
            common.fmt_spread_bytes(common.Spread(**row["sdk"])),
            f"{common.fmt_bytes(extra.median)} [{common.fmt_bytes(extra.low)} to "
            f"{common.fmt_bytes(extra.high)}]",
            "< 1 MiB " + ("met" if extra.median < TOLERANCE else "MISSED"),
        ])
    common.print_table(
        "3. Peak resident memory added by one call, fresh process each (median [min-max])",
        ["call", "module", "sdk", "module - sdk", "target"], rows,
        note=f"measured as {section.rows[0]['method']}; a read's figure includes the "
             "bytes it returns.")


def main(argv: Optional[list[str]] = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    if argv[:1] == ["--child"]:
        op, impl, key, size = argv[1:5]
        print(json.dumps(child(op, impl, key, int(size))))
        return 0
    return common.section_main(__doc__, run, report, argv)


if __name__ == "__main__":
    sys.exit(main())
