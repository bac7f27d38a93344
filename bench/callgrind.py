"""Instruction counts of one section-1 case under callgrind, per call and per function.

    python bench/callgrind.py "exists (present)" [--impl module|twin] [--lean] [--calls N]

Runs the case's loop under ``valgrind --tool=callgrind`` twice, with N and 2N calls, and
subtracts: what is left is the cost of N calls, without start-up and warm-up.  Prints the
instructions per call, the share of each binary (the extension, libpython, libc, ...) and
the functions with the most instructions of their own.  Instruction counts do not move with
the load on the machine, unlike times.
"""

from __future__ import annotations

import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile
from typing import Optional

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)


def inner(case_name: str, impl: str, lean: bool, calls: int) -> None:
    import micro

    case = next(c for c in micro.CASES if c.name == case_name)
    for key, value in micro.SETTINGS.items():
        os.environ[key] = value
    from quorvex.base import BasePath
    from quorvex.minio.path import MinIOPath as ModulePath

    import fake
    import twin

    client = micro.make_fake()
    creator = fake.FakeCreator(client)
    ModulePath._creator = creator
    twin.MinIOPath._creator = creator
    BasePath.reset_clients()
    cls = ModulePath if impl == "module" else twin.MinIOPath
    if lean:
        bucket = "gone" if case.section == micro.GONE_SECTION else fake.BUCKET
        cls = micro.lean_class(cls, client, bucket)
    with tempfile.NamedTemporaryFile(prefix="bench-profile-") as tmp:
        tmp.write(micro.BODY)
        tmp.flush()
        variant = micro.Variant(impl, cls, tmp.name)
        timer = variant.timer(case.stmt)
        timer.timeit(2000)  # warm-up: the interpreter specialises its instructions
        if case.section and not lean:
            with ModulePath.use_section(case.section):
                timer.timeit(calls)
        else:
            timer.timeit(calls)


_BINARY = re.compile(r"\s*\[[^\]]+\]\s*$")
_COST = re.compile(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(.*)$")


def annotate(out_file: str) -> dict[str, int]:
    """Self cost (Ir) per 'object:function' from callgrind_annotate."""
    text = subprocess.run(
        ["callgrind_annotate", "--threshold=100", "--inclusive=no", out_file],
        capture_output=True, text=True, check=True).stdout
    costs: dict[str, int] = {}
    started = False
    for line in text.splitlines():
        if "file:function" in line:
            started = True
            continue
        if not started:
            continue
        match = _COST.match(line)
        if not match:
            continue
        cost = int(match.group(1).replace(",", ""))
        costs[match.group(2).strip()] = costs.get(match.group(2).strip(), 0) + cost
    return costs


def run_under_callgrind(args: argparse.Namespace, calls: int, workdir: str) -> dict[str, int]:
    out_file = os.path.join(workdir, f"callgrind.{calls}.out")
    command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
               sys.executable, os.path.abspath(__file__), "--inner", args.case,
               "--impl", args.impl, "--calls", str(calls)] + (["--lean"] if args.lean else [])
    subprocess.run(command, check=True, capture_output=True)
    return annotate(out_file)


def binary_of(function: str) -> str:
    match = re.search(r"\[([^\]]+)\]\s*$", function)
    if not match:
        # Code inlined from a header is listed under the header's path, without a binary.
        if "/Python-3." in function or function.startswith(("./Include/", "Include/",
                                                               "Objects/", "Python/")):
            return "libpython (inlined)"
        return "?"
    name = os.path.basename(match.group(1))
    if name.startswith("path.cpython"):
        return "the extension (" + name + ")"
    return name


def per_call_costs(args: argparse.Namespace) -> dict[str, float]:
    with tempfile.TemporaryDirectory(prefix="bench-callgrind-") as workdir:
        once = run_under_callgrind(args, args.calls, workdir)
        twice = run_under_callgrind(args, 2 * args.calls, workdir)
    delta = collections.Counter(twice)
    delta.subtract(once)
    return {_short(fn): cost / args.calls for fn, cost in delta.items()}


def _short(function: str) -> str:
    # Drops the build directory of the interpreter, keeps the binary in brackets.
    return re.sub(r"^.*?/Python-3\.[0-9.]+/", "", function)


def compare(args: argparse.Namespace) -> int:
    """Module against twin: where the extra (or saved) instructions are."""
    costs = {}
    for impl in ("module", "twin"):
        args.impl = impl
        costs[impl] = per_call_costs(args)
    totals = {impl: sum(c.values()) for impl, c in costs.items()}
    label = f"{args.case}{' [lean]' if args.lean else ''}"
    print(f"{label}: module {totals['module']:,.0f}, twin {totals['twin']:,.0f} instructions "
          f"per call (module - twin: {totals['module'] - totals['twin']:+,.0f})")
    names = set(costs["module"]) | set(costs["twin"])
    rows = [(costs["module"].get(n, 0.0) - costs["twin"].get(n, 0.0), n) for n in names]
    print("  functions with the largest difference (module - twin, own instructions per call):")
    for diff, name in sorted(rows, key=lambda r: -abs(r[0]))[: args.top]:
        if abs(diff) < 1:
            break
        bare = _BINARY.sub("", name)
        print(f"  {diff:+10,.0f}  {bare} ({binary_of(name)})")
    return 0


def profile(args: argparse.Namespace) -> int:
    if shutil.which("valgrind") is None or shutil.which("callgrind_annotate") is None:
        print("valgrind (callgrind) is not installed", file=sys.stderr)
        return 2
    if args.compare:
        return compare(args)
    per_call = per_call_costs(args)
    total = sum(per_call.values())
    label = f"{args.case} [{args.impl}{', lean' if args.lean else ''}]"
    print(f"{label}: {total:,.0f} instructions per call")
    by_binary: dict[str, float] = collections.defaultdict(float)
    for fn, cost in per_call.items():
        by_binary[binary_of(fn)] += cost
    for name, cost in sorted(by_binary.items(), key=lambda kv: -kv[1]):
        if abs(cost) >= 0.5:
            print(f"  {cost:10,.0f}  {100 * cost / total:5.1f}%  {name}")
    print("  functions by their own instructions per call:")
    for fn, cost in sorted(per_call.items(), key=lambda kv: -kv[1])[: args.top]:
        if cost < 1:
            break
        short = re.sub(r"\s*\[[^\]]+\]\s*$", "", fn)
        print(f"  {cost:10,.0f}  {100 * cost / total:5.1f}%  {short} ({binary_of(fn)})")
    return 0


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("case", help="a case name of section 1, e.g. 'exists (present)'")
    parser.add_argument("--impl", choices=("module", "twin"), default="module")
    parser.add_argument("--lean", action="store_true",
                        help="providers as constants and no retry wrapper")
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--top", type=int, default=25)
    parser.add_argument("--compare", action="store_true",
                        help="run module and twin and list where their counts differ")
    parser.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.inner:
        inner(args.case, args.impl, args.lean, args.calls)
        return 0
    return profile(args)


if __name__ == "__main__":
    sys.exit(main())
