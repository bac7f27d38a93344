"""Section 7: pandas through fsspec -- read_csv and read_parquet, quorvex:// against s3fs.

One frame layout, an int64 ``id`` (0, 1, ...), an int64 ``v`` of random values and six
float64 columns of random values, stored once as CSV (740,000 rows, ~100 MiB) and once as
Parquet (pyarrow, snappy; 1,660,000 rows, ~100 MiB) in the embedded moto store; --quick:
30,000 and 50,000 rows (~4 MiB each).  Two contenders read each object:

* quorvex -- ``pd.read_csv("quorvex://<key>")``, ``pd.read_parquet("quorvex://<key>",
             engine="pyarrow")``; the section's settings reach the process through its
             environment (MINIO_ENDPOINT, ...), as a user's would;
* s3fs    -- the same calls on ``"s3://<bucket>/<key>"`` with ``storage_options`` carrying
             the endpoint and the keys (s3fs's defaults otherwise).

Each measurement runs in a fresh process: it imports everything, reads a small object of
the same format through the same contender (imports, connections, s3fs's session), resets
the kernel's high-water mark of resident memory (``/proc/self/clear_refs``), makes the one
call, and reports its wall time and the peak resident memory it added (VmHWM minus the
resident size at the reset; ru_maxrss where clear_refs cannot be written).  The frame read
back must have the shape written and the same hash of its ``v`` column, or the section
fails.  Contenders alternate round after round; the server counts the requests of one call
of each in separate, untimed calls (3; --quick: 1): pyarrow reads a file's ranges from
several threads, so the order, and with it the number of ranged GETs, can vary.
"""

from __future__ import annotations

import gc
import io
import json
import os
import resource
import subprocess
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import common  # noqa: E402
from memory import reset_peak, status_kib  # noqa: E402

MIB = 1024 * 1024
JOBS = ("read_csv", "read_parquet")
CONTENDERS = ("quorvex", "s3fs")
FLOATS = 6
WARM_ROWS = 1000


@dataclass
class Sizes:
    csv_rows: int
    parquet_rows: int
    rounds: int
    counts: int  # untimed calls whose requests are counted


FULL = Sizes(csv_rows=740_000, parquet_rows=1_660_000, rounds=5, counts=3)
QUICK = Sizes(csv_rows=30_000, parquet_rows=50_000, rounds=1, counts=1)


def make_frame(rows: int, seed: int = 7) -> Any:
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    data: dict[str, Any] = {"id": np.arange(rows, dtype=np.int64),
                            "v": rng.integers(-2**62, 2**62, rows, dtype=np.int64)}
    for i in range(FLOATS):
        data[f"x{i}"] = rng.random(rows)
    return pd.DataFrame(data)


def encode(job: str, frame: Any) -> bytes:
    if job == "read_csv":
        return frame.to_csv(index=False).encode("ascii")  # type: ignore[no-any-return]
    buffer = io.BytesIO()
    frame.to_parquet(buffer, engine="pyarrow", index=False)
    return buffer.getvalue()


def fingerprint(frame: Any) -> dict[str, Any]:
    """The shape, the columns and a hash of the column ``v``: what a read must give back."""
    import pandas as pd

    digest = int(pd.util.hash_pandas_object(frame["v"], index=False).sum())
    return {"shape": list(frame.shape), "columns": list(frame.columns), "v_hash": digest}


def key_of(job: str, warm: bool = False) -> str:
    suffix = "csv" if job == "read_csv" else "parquet"
    return f"frames/{'warm' if warm else 'data'}.{suffix}"


# -- the child: one call in a fresh process -------------------------------------------------


def child(job: str, who: str, count: bool) -> dict[str, Any]:
    import pandas as pd
    from e2e import server_requests

    bucket = os.environ["MINIO_BUCKET_NAME"]
    endpoint = "http://" + os.environ["MINIO_ENDPOINT"]
    options: Optional[dict[str, Any]] = None
    if who == "s3fs":
        options = {"key": os.environ["MINIO_ACCESS_KEY"],
                   "secret": os.environ["MINIO_SECRET_KEY"],
                   "endpoint_url": endpoint, "client_kwargs": {"region_name": "us-east-1"}}

    def url(key: str) -> str:
        return f"quorvex://{key}" if who == "quorvex" else f"s3://{bucket}/{key}"

    def read(key: str) -> Any:
        if job == "read_csv":
            return pd.read_csv(url(key), storage_options=options)
        return pd.read_parquet(url(key), engine="pyarrow", storage_options=options)

    read(key_of(job, warm=True))
    gc.collect()
    before = server_requests(endpoint)[0] if count else 0
    resettable = reset_peak()
    base_kib = status_kib("VmRSS") or 0
    started = time.perf_counter()
    frame = read(key_of(job))
    elapsed = time.perf_counter() - started
    peak_kib = status_kib("VmHWM") if resettable else None
    if peak_kib is None:
        peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    requests = server_requests(endpoint)[0] - before if count else None
    return {"seconds": elapsed, "added": (peak_kib - base_kib) * 1024,
            "method": "VmHWM after clear_refs" if resettable else "ru_maxrss",
            "requests": requests, "got": fingerprint(frame)}


def spawn(env: dict[str, str], job: str, who: str, count: bool,
          expected: dict[str, Any]) -> dict[str, Any]:
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", job, who, str(int(count))],
        env={**os.environ, **env}, capture_output=True, text=True, check=False, timeout=900)
    if out.returncode != 0:
        raise RuntimeError(f"frames child {who} {job} failed:\n{out.stderr}")
    result: dict[str, Any] = json.loads(out.stdout.strip().splitlines()[-1])
    if result["got"] != expected:
        raise AssertionError(f"{who} {job} read back {result['got']}, expected {expected}")
    return result


# -- the section --------------------------------------------------------------------------


def run(quick: bool) -> common.Section:
    from e2e import Server

    s = QUICK if quick else FULL
    section = common.Section("frames")
    bucket = f"quorvex-bench-frames-{os.getpid()}"
    rows = {"read_csv": s.csv_rows, "read_parquet": s.parquet_rows}
    with Server() as server, server.bucket(bucket) as client:
        env = server.env(bucket)
        expected: dict[str, dict[str, Any]] = {}
        sizes: dict[str, int] = {}
        for job in JOBS:
            frame = make_frame(rows[job])
            expected[job] = fingerprint(frame)
            for warm, data in ((False, encode(job, frame)),
                               (True, encode(job, make_frame(WARM_ROWS, seed=8)))):
                client.put_object(bucket, key_of(job, warm), io.BytesIO(data), len(data))
                if not warm:
                    sizes[job] = len(data)
            del frame, data
        requests = {(job, who): [spawn(env, job, who, True, expected[job])["requests"]
                                 for _ in range(s.counts)]
                    for job in JOBS for who in CONTENDERS}
        samples: dict[tuple[str, str], list[dict[str, Any]]] = {
            (job, who): [] for job in JOBS for who in CONTENDERS}
        for round_index in range(s.rounds):
            for job in JOBS:
                order = CONTENDERS if round_index % 2 == 0 else CONTENDERS[::-1]
                for who in order:
                    samples[job, who].append(spawn(env, job, who, False, expected[job]))
            print(f"  round {round_index + 1} of {s.rounds}", file=sys.stderr, flush=True)
    for job in JOBS:
        row: dict[str, Any] = {"name": job, "size": sizes[job],
                               "shape": expected[job]["shape"],
                               "method": samples[job, CONTENDERS[0]][0]["method"],
                               "counted calls": s.counts,
                               "requests": {who: common.Spread.of(requests[job, who]).as_dict()
                                            for who in CONTENDERS}}
        for who in CONTENDERS:
            row[who] = _spread(samples[job, who], lambda r: r["seconds"])
            row[f"{who} memory"] = _spread(samples[job, who], lambda r: r["added"])
        row["s3fs/quorvex"] = common.Spread.of(common.ratios(
            [r["seconds"] for r in samples[job, "s3fs"]],
            [r["seconds"] for r in samples[job, "quorvex"]])).as_dict()
        section.rows.append(row)
        ratio = row["s3fs/quorvex"]["median"]
        section.targets.append({
            "what": f"frames: {job}: quorvex:// ahead of s3fs", "measured": ratio,
            "goal": 1.0, "met": ratio > 1.0})
        mine, theirs = (row["requests"][who]["median"] for who in CONTENDERS)
        section.targets.append({
            "what": f"frames: {job}: quorvex:// no more requests than s3fs",
            "measured": mine, "goal": theirs, "met": mine <= theirs})
    return section


def _spread(results: list[dict[str, Any]], value: Callable[[dict[str, Any]], float],
            ) -> dict[str, float]:
    return common.Spread.of([value(r) for r in results]).as_dict()


def _requests(s: common.Spread) -> str:
    return f"{s.median:g}" if s.low == s.high else f"{s.median:g} [{s.low:g}-{s.high:g}]"


def report(section: common.Section) -> None:
    rows = []
    for row in section.rows:
        shape = " x ".join(f"{n:,}" for n in row["shape"])
        rows.append([
            row["name"], f"{common.fmt_bytes(row['size'])}, {shape}",
            *(common.fmt_spread_time(common.Spread(**row[who])) for who in CONTENDERS),
            common.fmt_ratio(common.Spread(**row["s3fs/quorvex"])),
            *(common.fmt_spread_bytes(common.Spread(**row[f"{who} memory"]))
              for who in CONTENDERS),
            " / ".join(_requests(common.Spread(**row["requests"][who])) for who in CONTENDERS),
        ])
    method = section.rows[0]["method"] if section.rows else ""
    counted = section.rows[0]["counted calls"] if section.rows else 0
    common.print_table(
        "7. pandas through fsspec, fresh process each (median [min-max] per call)",
        ["job", "object, frame", "quorvex://", "s3fs", "s3fs/quorvex", "memory quorvex",
         "memory s3fs", "requests q/s3fs"], rows,
        note=f"s3fs/quorvex > 1: quorvex:// is faster (per-round ratios).  Memory: peak "
             f"resident memory the call added ({method}); it includes the frame.  "
             f"Requests: median [min-max] of {counted} untimed calls (pyarrow "
             f"reads its ranges from several threads, in an order that varies).")


def main(argv: Optional[list[str]] = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    if argv[:1] == ["--child"]:
        job, who, count = argv[1:4]
        print(json.dumps(child(job, who, count == "1")))
        return 0
    return common.section_main(__doc__, run, report, argv)


if __name__ == "__main__":
    sys.exit(main())
