"""The benchmark suite of quorvex.minio.path: one command for all its sections.

    python bench/run.py [--quick] [--json out.json]
                        [--only micro,e2e,memory,providers,walk,transfer,frames,
                                contenders]

1. micro  -- each member's own cost against an in-process fake client, next to a
             pure-Python twin of the class (bench/twin.py);
2. e2e    -- end to end against the embedded moto store, next to the raw SDK calls and
             to s3fs and cloudpathlib;
3. memory -- peak resident memory of write() and read() of a large object against the SDK;
4. providers -- the default providers' per-call costs (client, settings lookup), before and now;
5. walk   -- walk, rglob, scandir and du over 10,000 objects against s3fs and cloudpathlib;
6. transfer -- trees up and down, streaming open(), copies and resumed uploads, with and
             without a delay of 10 ms each way, against s3fs and cloudpathlib;
7. frames -- pandas read_csv and read_parquet of ~100 MiB objects through quorvex:// and
             through s3fs, with time, peak memory and requests;
8. contenders -- upload_from and download_to, through the transfer engine and through the
             Python path, against obstore, s5cmd, boto3 (CRT and classic transfer
             managers) and s3fs on a local SeaweedFS: wall time, client and server CPU.

Each section runs in a fresh process and prints its table; the runner then prints every
target with its verdict and, with --json, writes all figures to one file.  The exit status
is non-zero only when a section fails to run: missed targets are reported, not raised.
--quick runs small sizes and few repetitions, for CI.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from typing import Any, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import common  # noqa: E402

SECTIONS = ("micro", "e2e", "memory", "providers", "walk", "transfer", "frames",
            "contenders")


def run_section(name: str, quick: bool) -> dict[str, Any]:
    with tempfile.TemporaryDirectory(prefix="quorvex-bench-") as tmp:
        out = os.path.join(tmp, f"{name}.json")
        command = [sys.executable, os.path.join(HERE, f"{name}.py"), "--json", out]
        if quick:
            command.append("--quick")
        started = time.perf_counter()
        completed = subprocess.run(command, check=False)
        elapsed = time.perf_counter() - started
        if completed.returncode != 0:
            raise SystemExit(f"section {name} failed with exit status {completed.returncode}")
        with open(out, encoding="utf-8") as stream:
            figures = json.load(stream)
    figures["seconds"] = elapsed
    return figures


def print_targets(results: dict[str, Any]) -> None:
    rows = []
    for name in SECTIONS:
        for target in results.get(name, {}).get("targets", []):
            measured = target["measured"]
            if "shown" in target:
                shown = target["shown"]
            elif name == "memory":
                shown = f"{common.fmt_bytes(measured)} (goal < {common.fmt_bytes(target['goal'])})"
            elif name in ("walk", "frames") and "requests" in target["what"]:
                shown = f"{measured} requests (goal <= {target['goal']})"
            elif name in ("walk", "frames"):
                shown = f"{measured:.2f}x (goal > {target['goal']:.2f}x)"
            elif name == "e2e" and "3%" in target["what"]:
                shown = f"{measured:.3f}x (goal <= {target['goal']:.2f}x)"
            elif name == "e2e":
                shown = f"{measured:.2f}x (goal > 1.00x)"
            else:
                shown = f"{measured:.2f}x (goal >= {target['goal']:.1f}x)"
            rows.append([target["what"], shown, "met" if target["met"] else "MISSED"])
    met = sum(1 for r in rows if r[2] == "met")
    common.print_table("Targets", ["target", "measured (median)", "verdict"], rows,
                       note=f"{met} of {len(rows)} targets met.")


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="small sizes and few repetitions (seconds, for CI)")
    parser.add_argument("--json", help="write every figure to this file")
    parser.add_argument("--only", default=",".join(SECTIONS),
                        help="comma-separated sections to run (" + ", ".join(SECTIONS) + ")")
    args = parser.parse_args(argv)
    chosen = [s.strip() for s in args.only.split(",") if s.strip()]
    unknown = [s for s in chosen if s not in SECTIONS]
    if unknown:
        parser.error(f"unknown section(s): {', '.join(unknown)}")

    info = common.machine_info()
    print(f"quorvex.minio.path benchmark -- {'quick' if args.quick else 'full'} run, "
          f"{info['date']}")
    print(f"python {info['python']} on {info.get('Model name', info['platform'])}, "
          f"{info['cpus']} CPUs, load average {info.get('loadavg')}")
    sys.stdout.flush()
    results: dict[str, Any] = {"machine": info, "mode": "quick" if args.quick else "full",
                               "command": " ".join([os.path.basename(sys.executable)]
                                                   + sys.argv)}
    for name in chosen:
        results[name] = run_section(name, args.quick)
    try:
        results["machine"]["loadavg_after"] = os.getloadavg()
    except OSError:
        pass
    print_targets(results)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as stream:
            json.dump(results, stream, indent=1)
        print(f"\nfigures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
