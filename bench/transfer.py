"""Section 4: transfers -- trees up and down, streaming open(), server-side copy, resumed
uploads -- against s3fs and cloudpathlib, with no latency and through bench/latency.py.

Every job runs twice: straight to the embedded store, and through a loopback proxy that
delays each byte by ``LATENCY`` each way (a store a few milliseconds away).  Contenders of
a job alternate round by round; the table shows the median time per contender and its
ratio to the module's transfer method.  Streaming jobs run in a child process each, which
reports its own time and the resident memory it added at its peak.
"""

from __future__ import annotations

import gc
import json
import logging
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path
from typing import Any, Callable, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import common  # noqa: E402
from e2e import Server  # noqa: E402
from memory import reset_peak, status_kib  # noqa: E402

MIB = 1024 * 1024
LATENCY = 0.010
READ_BUFFER = 1 * MIB  # open()'s default read buffer
CHUNK = 1 * MIB


class LatencyProxy:
    """bench/latency.py in a child process, in front of the store."""

    def __init__(self, upstream: str, delay: float) -> None:
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "latency.py"), upstream, "--delay", str(delay)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.process.stdout is not None
        self.endpoint = f"127.0.0.1:{json.loads(self.process.stdout.readline())['port']}"

    def counts(self) -> dict[str, int]:
        assert self.process.stdin is not None and self.process.stdout is not None
        self.process.stdin.write("count\n")
        self.process.stdin.flush()
        return dict(json.loads(self.process.stdout.readline()))

    def close(self) -> None:
        assert self.process.stdin is not None
        self.process.stdin.close()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Contenders:
    """The module, s3fs and cloudpathlib, all pointed at one endpoint and one bucket."""

    def __init__(self, server: Server, endpoint: str, bucket: str, tmp: Path,
                 peers: tuple[str, ...]) -> None:
        self.peers = peers
        os.environ.update(server.env(bucket))
        os.environ["MINIO_ENDPOINT"] = endpoint
        import s3fs
        from cloudpathlib import S3Client, S3Path
        from quorvex.base import BasePath
        from quorvex.minio.path import MinIOPath

        BasePath.reset_clients()
        self.Path = MinIOPath
        self.client = MinIOPath().client
        self.bucket = bucket
        self.tmp = tmp
        url = f"http://{endpoint}"
        self.fs = s3fs.S3FileSystem(key=server.access_key, secret=server.secret_key,
                                    endpoint_url=url, use_listings_cache=False,
                                    skip_instance_cache=True,
                                    client_kwargs={"region_name": "us-east-1"})
        cache = tmp / f"cloud-cache-{uuid.uuid4().hex[:6]}"
        self.cloud = S3Client(aws_access_key_id=server.access_key,
                              aws_secret_access_key=server.secret_key, endpoint_url=url,
                              local_cache_dir=str(cache))
        self.S3Path = S3Path
        self.methods: dict[str, int] = {}
        self._count_methods()

    def _count_methods(self) -> None:
        client, methods = self.client, self.methods
        url_open = client._url_open

        def counting(method: str, *args: Any, **kwargs: Any) -> Any:
            methods[method] = methods.get(method, 0) + 1
            return url_open(method, *args, **kwargs)

        client._url_open = counting

    def keep(self, contenders: dict[str, Sample]) -> dict[str, Sample]:
        """The contenders of this run: the module's and those of the chosen peers."""
        return {name: sample for name, sample in contenders.items()
                if not name.startswith(("s3fs", "cloudpathlib")) or
                name.startswith(self.peers)}

    def cloud_path(self, key: str) -> Any:
        return self.S3Path(f"s3://{self.bucket}/{key}", client=self.cloud)

    def keys(self, prefix: str) -> list[str]:
        return [o.object_name for o in
                self.client.list_objects(self.bucket, prefix=prefix, recursive=True)]

    def remove(self, prefix: str) -> None:
        from minio.deleteobjects import DeleteObject

        doomed = [DeleteObject(key) for key in self.keys(prefix)]
        for error in self.client.remove_objects(self.bucket, doomed):
            raise RuntimeError(f"cleanup failed: {error}")


def make_tree(root: Path, count: int, size: int) -> Path:
    for i in range(count):
        path = root / f"d{i % 10}" / f"f{i:04d}.bin"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(os.urandom(size))
    return root


def count_files(root: Path) -> int:
    return sum(1 for p in root.rglob("*") if p.is_file())


def fresh(name: str) -> str:
    return f"{name}-{uuid.uuid4().hex[:8]}"


# -- the jobs -----------------------------------------------------------------------------

Sample = Callable[[], float]


def upload_jobs(c: Contenders, local: Path, files: int) -> dict[str, Sample]:
    def job(run: Callable[[str], None]) -> Sample:
        def sample() -> float:
            prefix = fresh("up")
            start = time.perf_counter()
            run(prefix)
            elapsed = time.perf_counter() - start
            if len(c.keys(prefix + "/")) != files:
                raise AssertionError(f"upload to {prefix} stored {len(c.keys(prefix + '/'))}")
            c.remove(prefix + "/")
            return elapsed
        return sample

    return c.keep({
        "upload_from": job(lambda p: c.Path(path=p).upload_from(local)),
        "upload()": job(lambda p: c.Path(path=p).upload(str(local))),
        "s3fs put": job(lambda p: c.fs.put(str(local) + "/", f"{c.bucket}/{p}/", recursive=True)),
        "cloudpathlib": job(lambda p: c.cloud_path(p + "/").upload_from(local)),
    })


def download_jobs(c: Contenders, prefix: str, files: int) -> dict[str, Sample]:
    def job(run: Callable[[Path], None]) -> Sample:
        def sample() -> float:
            target = c.tmp / fresh("down")
            start = time.perf_counter()
            run(target)
            elapsed = time.perf_counter() - start
            if count_files(target) != files:
                raise AssertionError(f"download made {count_files(target)} files")
            shutil.rmtree(target)
            return elapsed
        return sample

    return c.keep({
        "download_to": job(lambda t: c.Path(path=prefix).download_to(t)),
        "download_to(workers=1)": job(lambda t: c.Path(path=prefix).download_to(t, workers=1)),
        "s3fs get": job(lambda t: c.fs.get(f"{c.bucket}/{prefix}/", str(t) + "/",
                                           recursive=True)),
        "cloudpathlib": job(lambda t: c.cloud_path(prefix + "/").download_to(t)),
    })


def copy_jobs(c: Contenders, source: str, objects: int, tree: bool) -> dict[str, Sample]:
    def job(run: Callable[[str], None]) -> Sample:
        def sample() -> float:
            target = fresh("copy")
            start = time.perf_counter()
            run(target)
            elapsed = time.perf_counter() - start
            if len(c.keys(target)) != objects:
                raise AssertionError(f"copy made {len(c.keys(target))} objects")
            c.remove(target)
            return elapsed
        return sample

    if tree:
        return c.keep({
            "copy": job(lambda t: c.Path(path=source).copy(c.Path(path=t))),
            "s3fs copy": job(lambda t: c.fs.copy(f"{c.bucket}/{source}/", f"{c.bucket}/{t}/",
                                                 recursive=True)),
            "cloudpathlib": job(lambda t: c.cloud_path(source + "/").copytree(
                c.cloud_path(t + "/"))),
        })
    return c.keep({
        "copy": job(lambda t: c.Path(path=source).copy(c.Path(path=t))),
        "s3fs copy": job(lambda t: c.fs.copy(f"{c.bucket}/{source}", f"{c.bucket}/{t}")),
        "cloudpathlib": job(lambda t: c.cloud_path(source).copy(c.cloud_path(t))),
    })


def measure(rows: list[dict[str, Any]], job: str, latency: float, contenders: dict[str, Sample],
            rounds: int, reference: str) -> dict[str, common.Spread]:
    samples = common.interleave(list(contenders.items()), rounds, warmup=0)
    spreads = {name: common.Spread.of(values) for name, values in samples.items()}
    for name, spread in spreads.items():
        rows.append({"job": job, "latency": latency, "who": name, "time": spread.as_dict(),
                     "vs_module": spread.median / spreads[reference].median})
    return spreads


# -- streaming, one child process per sample ------------------------------------------------

def child(job: str, key: str, size: int) -> dict[str, Any]:
    bucket = os.environ["MINIO_BUCKET_NAME"]
    endpoint = os.environ["MINIO_ENDPOINT"]
    from quorvex.minio.path import MinIOPath

    path = MinIOPath(path=key)
    MinIOPath(path=key + ".warm").write(b"w")
    MinIOPath(path=key + ".warm").read()
    fs: Any = None
    cloud: Any = None
    if job.startswith("s3fs"):
        import s3fs
        fs = s3fs.S3FileSystem(endpoint_url=f"http://{endpoint}", skip_instance_cache=True,
                               client_kwargs={"region_name": "us-east-1"})
    if job.startswith("cloudpathlib"):
        from cloudpathlib import S3Client
        cloud = S3Client(endpoint_url=f"http://{endpoint}",
                         local_cache_dir=tempfile.mkdtemp(prefix="quorvex-bench-cache-"))
        cloud_path = cloud.CloudPath(f"s3://{bucket}/{key}")
    block = os.urandom(CHUNK)
    gc.collect()
    resettable = reset_peak()
    base = status_kib("VmRSS") or 0
    moved = 0
    start = time.perf_counter()
    if job == "read()":
        moved = len(path.read())
    elif job.endswith("read"):
        opened = {"open read": lambda: path.open("rb"),
                  "s3fs read": lambda: fs.open(f"{bucket}/{key}", "rb"),
                  "cloudpathlib read": lambda: cloud_path.open("rb")}[job]()
        with opened as stream:
            while True:
                chunk = stream.read(CHUNK)
                if not chunk:
                    break
                moved += len(chunk)
    else:
        opened = {"open write": lambda: path.open("wb"),
                  "s3fs write": lambda: fs.open(f"{bucket}/{key}", "wb"),
                  "cloudpathlib write": lambda: cloud_path.open("wb")}[job]()
        with opened as stream:
            while moved < size:
                stream.write(block)
                moved += len(block)
    elapsed = time.perf_counter() - start
    peak = (status_kib("VmHWM") if resettable else None) or \
        resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if moved != size:
        raise AssertionError(f"{job} moved {moved} bytes, expected {size}")
    return {"seconds": elapsed, "added": (peak - base) * 1024}


def spawn(env: dict[str, str], job: str, key: str, size: int) -> dict[str, Any]:
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", job, key,
                          str(size)], env={**os.environ, **env}, capture_output=True,
                         text=True, check=False, timeout=900)
    if out.returncode != 0:
        raise RuntimeError(f"streaming child {job} failed:\n{out.stderr}")
    return dict(json.loads(out.stdout.strip().splitlines()[-1]))


# -- the section ----------------------------------------------------------------------------

def run(quick: bool) -> common.Section:
    logging.getLogger("urllib3.connectionpool").setLevel(logging.ERROR)
    section = common.Section("transfer")
    rounds = 1 if quick else 3
    small_files, small_size = (30, 256) if quick else (500, 256)
    big_files, big_size = (4, 1 * MIB) if quick else (20, 8 * MIB)
    stream_size = 16 * MIB if quick else 256 * MIB
    copy_objects = 50 if quick else 500
    tmp = Path(tempfile.mkdtemp(prefix="quorvex-bench-transfer-"))
    # cloudpathlib takes a minute on the quick sizes alone: the quick run leaves it out.
    peers = ("s3fs",) if quick else ("s3fs", "cloudpathlib")
    streamers = ["open read", "read()", "open write"]
    if not quick:
        streamers += ["s3fs read", "cloudpathlib read", "s3fs write", "cloudpathlib write"]
    try:
        with Server() as server:
            bucket = f"bench-transfer-{uuid.uuid4().hex[:8]}"
            small = make_tree(tmp / "small", small_files, small_size)
            big = make_tree(tmp / "big", big_files, big_size)
            for latency in (0.0, LATENCY):
                proxy = LatencyProxy(server.endpoint, latency) if latency else None
                endpoint = proxy.endpoint if proxy else server.endpoint
                c = Contenders(server, endpoint, bucket, tmp, peers)
                if not c.client.bucket_exists(bucket):
                    c.client.make_bucket(bucket)
                label = f"{latency * 1000:.0f} ms"
                trees = [(f"{small_files} x {small_size} B", small, small_files),
                         (f"{big_files} x {big_size // MIB} MiB", big, big_files)]
                for name, local, files in trees:
                    up = measure(section.rows, f"tree {name} up", latency,
                                 upload_jobs(c, local, files), rounds, "upload_from")
                    c.Path(path="tree").upload_from(local)
                    down = measure(section.rows, f"tree {name} down", latency,
                                   download_jobs(c, "tree", files), rounds, "download_to")
                    c.remove("tree/")
                    if latency and local is small:
                        add_tree_targets(section, up, down, label)
                resumed(section, c, small, latency, label)
                copies(section, c, proxy, latency, stream_size, copy_objects, rounds, label)
                streaming(section, server, bucket, endpoint, latency, stream_size, streamers,
                          rounds, label)
                c.remove("")
                if proxy:
                    proxy.close()
            from minio import Minio
            Minio(server.endpoint, access_key=server.access_key,
                  secret_key=server.secret_key, secure=False).remove_bucket(bucket)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return section


def target(section: common.Section, what: str, measured: float, goal: float, met: bool,
           shown: str) -> None:
    section.targets.append({"what": what, "measured": measured, "goal": goal, "met": met,
                            "shown": shown})


def add_tree_targets(section: common.Section, up: dict[str, common.Spread],
                     down: dict[str, common.Spread], label: str) -> None:
    ratio = up["upload()"].median / up["upload_from"].median
    target(section, f"{label}: upload_from of the small tree vs upload()", ratio, 5.0,
           ratio >= 5.0, f"{ratio:.2f}x faster (goal >= 5x)")
    ratio = down["download_to(workers=1)"].median / down["download_to"].median
    target(section, f"{label}: download_to of the small tree vs one file at a time", ratio,
           5.0, ratio >= 5.0, f"{ratio:.2f}x faster (goal >= 5x)")
    for peer in [name for name in ("s3fs put", "cloudpathlib") if name in up]:
        ratio = up[peer].median / up["upload_from"].median
        target(section, f"{label}: upload_from ahead of {peer}", ratio, 1.0, ratio > 1.0,
               f"{ratio:.2f}x faster (goal > 1x)")
    for peer in [name for name in ("s3fs get", "cloudpathlib") if name in down]:
        ratio = down[peer].median / down["download_to"].median
        target(section, f"{label}: download_to ahead of {peer}", ratio, 1.0, ratio > 1.0,
               f"{ratio:.2f}x faster (goal > 1x)")


def resumed(section: common.Section, c: Contenders, local: Path, latency: float,
            label: str) -> None:
    """upload_from again with skip_unchanged: unchanged, then with 10 files changed."""
    runs: dict[str, tuple[float, dict[str, int]]] = {}
    work = c.tmp / "resumed"
    shutil.copytree(local, work)
    for name in ("first", "unchanged", "10 changed"):
        if name == "10 changed":
            for path in sorted(work.rglob("*.bin"))[:10]:
                path.write_bytes(os.urandom(path.stat().st_size))
        c.methods.clear()
        start = time.perf_counter()
        c.Path(path="resumed").upload_from(work, skip_unchanged=True)
        runs[name] = (time.perf_counter() - start, dict(c.methods))
        section.rows.append({"job": f"upload_from skip_unchanged, {name}", "latency": latency,
                             "who": "upload_from", "time": {"median": runs[name][0]},
                             "requests": runs[name][1]})
    shutil.rmtree(work)
    c.remove("resumed/")
    if latency:
        first, unchanged = runs["first"][0], runs["unchanged"][0]
        puts = runs["unchanged"][1].get("PUT", 0)
        target(section, f"{label}: unchanged second run sends no PUT, < 1/10 of the first",
               unchanged / first, 0.1, puts == 0 and unchanged < first / 10,
               f"{puts} PUT, {unchanged / first:.3f} of the first (goal 0 PUT, < 0.1)")
        changed_puts = runs["10 changed"][1].get("PUT", 0)
        target(section, f"{label}: 10 changed files send 10 PUTs", changed_puts, 10,
               changed_puts == 10, f"{changed_puts} PUT (goal 10)")


def copies(section: common.Section, c: Contenders, proxy: Optional[LatencyProxy],
           latency: float, size: int, objects: int, rounds: int, label: str) -> None:
    c.client.put_object(c.bucket, "big.bin", _Zeros(size), size, part_size=16 * MIB)
    measure(section.rows, f"copy {size // MIB} MiB object", latency,
            copy_jobs(c, "big.bin", 1, tree=False), rounds, "copy")
    c.Path(path="many").upload_from(make_tree(c.tmp / "many", objects, 256))
    measure(section.rows, f"copy {objects}-object prefix", latency,
            copy_jobs(c, "many", objects, tree=True), rounds, "copy")
    if proxy is not None:
        before = proxy.counts()
        c.Path(path="big.bin").copy(c.Path(path="big-copy.bin"))
        after = proxy.counts()
        moved = (after["up"] - before["up"]) + (after["down"] - before["down"])
        target(section, f"{label}: copy moves no object bytes through the client",
               moved, size / 100, moved < size / 100,
               f"{moved} bytes on the wire for {size // MIB} MiB (goal < 1%)")
    shutil.rmtree(c.tmp / "many")


class _Zeros:
    """A stream of zero bytes, ``size`` of them, for put_object."""

    def __init__(self, size: int) -> None:
        self.left = size

    def read(self, count: int = -1) -> bytes:
        count = self.left if count < 0 else min(count, self.left)
        self.left -= count
        return bytes(count)


def streaming(section: common.Section, server: Server, bucket: str, endpoint: str,
              latency: float, size: int, jobs: list[str], rounds: int, label: str) -> None:
    env = {**server.env(bucket), "MINIO_ENDPOINT": endpoint}
    spawn(env, "open write", "stream.bin", size)  # the object the readers read
    results: dict[str, list[dict[str, Any]]] = {job: [] for job in jobs}
    for index in range(rounds):
        for job in jobs[index % len(jobs):] + jobs[:index % len(jobs)]:
            key = "stream.bin" if job.endswith("read") or job == "read()" else fresh("w")
            results[job].append(spawn(env, job, key, size))
    for job, samples in results.items():
        spread = common.Spread.of([s["seconds"] for s in samples])
        section.rows.append({"job": f"stream {size // MIB} MiB", "latency": latency,
                             "who": job, "time": spread.as_dict(),
                             "peak_added": max(s["added"] for s in samples)})
    whole = common.Spread.of([s["seconds"] for s in results["read()"]]).median
    opened = common.Spread.of([s["seconds"] for s in results["open read"]]).median
    share = whole / opened
    peak = max(s["added"] for s in results["open read"])
    goal = READ_BUFFER + 16 * MIB
    target(section, f"{label}: open() reads at >= 90% of read()'s throughput", share, 0.9,
           share >= 0.9, f"{share:.2f} of read() (goal >= 0.90)")
    target(section, f"{label}: open() read peak memory under buffer + 16 MiB", peak, goal,
           peak < goal, f"{common.fmt_bytes(peak)} (goal < {common.fmt_bytes(goal)})")


def report(section: common.Section) -> None:
    rows = []
    for row in section.rows:
        extra = ""
        if "vs_module" in row:
            extra = f"{row['vs_module']:.2f}x"
        if "peak_added" in row:
            extra = f"peak +{common.fmt_bytes(row['peak_added'])}"
        if "requests" in row:
            extra = ", ".join(f"{k} {v}" for k, v in sorted(row["requests"].items()))
        rows.append([row["job"], f"{row['latency'] * 1000:.0f} ms", row["who"],
                     common.fmt_time(row["time"]["median"]), extra])
    common.print_table("Transfers (median time; time / the module's time, or requests)",
                       ["job", "latency", "contender", "median", "vs module / notes"], rows)
    common.print_targets("Transfer targets", section.targets)


def main(argv: Optional[list[str]] = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if args[:1] == ["--child"]:
        print(json.dumps(child(args[1], args[2], int(args[3]))))
        return 0
    return common.section_main(__doc__, run, report, argv)


if __name__ == "__main__":
    sys.exit(main())
