"""Section 2: end to end against the embedded moto store over loopback.

For each job four contenders do the same work against the same server:

* module      -- the extension's MinIOPath member;
* sdk floor   -- the minio SDK calls that member makes, written out by hand, on the very
                 client the module uses (the floor the module cannot go below);
* s3fs        -- what an s3fs user would write;
* cloudpathlib -- what a cloudpathlib (S3 over boto3) user would write.

Contenders run in rotating order round after round; the module/floor ratio is taken round
by round.  The server counts the requests each contender makes for one job (in a separate,
untimed pass).
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import datetime
import io
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import common  # noqa: E402

KIB = 1024
MIB = 1024 * KIB
FLOOR_TOLERANCE = 1.03  # module within 3% of the SDK floor

# -- the server ---------------------------------------------------------------------------


class Server:
    """bench/server.py in a child process: the embedded store, stopped on exit."""

    def __init__(self) -> None:
        self.process: Optional[subprocess.Popen[str]] = None
        self.endpoint = ""
        self.access_key = ""
        self.secret_key = ""

    def __enter__(self) -> "Server":
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "server.py")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        if not line:
            self.process.wait(timeout=30)
            raise RuntimeError("the benchmark's store did not start "
                               f"(exit status {self.process.returncode})")
        info = json.loads(line)
        self.endpoint = info["endpoint"]
        self.access_key = info["access_key"]
        self.secret_key = info["secret_key"]
        return self

    def __exit__(self, *exc: Any) -> None:
        process = self.process
        if process is None:
            return
        try:
            assert process.stdin is not None
            process.stdin.write("stop\n")
            process.stdin.close()
            process.wait(timeout=60)
        except (OSError, subprocess.TimeoutExpired):
            process.kill()
            process.wait()

    @property
    def url(self) -> str:
        return f"http://{self.endpoint}"

    def requests(self) -> tuple[int, float]:
        """How many S3 requests the server has answered so far, and in how many seconds."""
        return server_requests(self.url)

    @contextlib.contextmanager
    def bucket(self, name: str) -> Iterator[Any]:
        """A minio client of this server with the bucket ``name`` made; the bucket and
        every object in it are removed on exit."""
        from minio import Minio

        client = Minio(self.endpoint, access_key=self.access_key,
                       secret_key=self.secret_key, secure=False)
        client.make_bucket(name)
        try:
            yield client
        finally:
            for obj in list(client.list_objects(name, recursive=True)):
                client.remove_object(name, obj.object_name)
            client.remove_bucket(name)

    def env(self, bucket: str) -> dict[str, str]:
        return {
            "MINIO_ENDPOINT": self.endpoint,
            "MINIO_ACCESS_KEY": self.access_key,
            "MINIO_SECRET_KEY": self.secret_key,
            "MINIO_SECURE": "false",
            "MINIO_BUCKET_NAME": bucket,
            # For boto3 (cloudpathlib) and aiobotocore (s3fs).
            "AWS_ACCESS_KEY_ID": self.access_key,
            "AWS_SECRET_ACCESS_KEY": self.secret_key,
            "AWS_DEFAULT_REGION": "us-east-1",
            "NO_PROXY": "127.0.0.1,localhost",
            "no_proxy": "127.0.0.1,localhost",
        }


def server_requests(url: str) -> tuple[int, float]:
    """The request count and answering time of the benchmark's store at ``url``; usable
    from any process (the query itself is not counted)."""
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with opener.open(url + "/__bench__/requests", timeout=30) as reply:
        totals = json.loads(reply.read())
    return int(totals["requests"]), float(totals["seconds"])


# -- the contenders -----------------------------------------------------------------------


class World:
    """Everything the jobs use: the bucket, the module's class, the clients, local files."""

    def __init__(self, server: Server, bucket: str, sizes: "Sizes") -> None:
        os.environ.update(server.env(bucket))
        from minio.deleteobjects import DeleteObject
        from minio.error import S3Error
        from quorvex.base import BasePath
        from quorvex.minio.path import MinIOPath

        BasePath.reset_clients()
        self.server = server
        self.bucket = bucket
        self.sizes = sizes
        self.MinIOPath = MinIOPath
        self.S3Error = S3Error
        self.DeleteObject = DeleteObject
        # The floor runs on the very client the module uses.
        self.client = MinIOPath().client
        self.fs = self._s3fs()
        self.cloud_client, self.S3Path = self._cloudpathlib()
        self.tmp = tempfile.mkdtemp(prefix="quorvex-bench-")
        self.pool = concurrent.futures.ThreadPoolExecutor(8)

    def _s3fs(self) -> Any:
        import s3fs

        return s3fs.S3FileSystem(
            key=self.server.access_key, secret=self.server.secret_key,
            endpoint_url=self.server.url, use_listings_cache=False, skip_instance_cache=True,
            client_kwargs={"region_name": "us-east-1"})

    def _cloudpathlib(self) -> tuple[Any, Any]:
        from cloudpathlib import S3Client, S3Path
        from cloudpathlib.enums import FileCacheMode

        # close_file: the local copy is dropped when the file is closed, so every read
        # fetches the object (the default cache would answer repeated reads locally).
        self.cache_dir = tempfile.mkdtemp(prefix="quorvex-bench-cache-")
        client = S3Client(aws_access_key_id=self.server.access_key,
                          aws_secret_access_key=self.server.secret_key,
                          endpoint_url=self.server.url,
                          file_cache_mode=FileCacheMode.close_file,
                          local_cache_dir=self.cache_dir)
        return client, S3Path

    def close(self) -> None:
        self.pool.shutdown()
        shutil.rmtree(self.tmp, ignore_errors=True)
        shutil.rmtree(self.cache_dir, ignore_errors=True)

    # helpers (untimed setup)
    def put_many(self, names: list[str], body: bytes = b"x") -> None:
        def put(name: str) -> None:
            self.client.put_object(self.bucket, name, io.BytesIO(body), len(body))
        list(self.pool.map(put, names))

    def remove_prefix(self, prefix: str) -> None:
        objs = [self.DeleteObject(o.object_name) for o in
                self.client.list_objects(self.bucket, prefix=prefix, recursive=True)]
        for error in self.client.remove_objects(self.bucket, objs):
            raise RuntimeError(f"cleanup failed: {error}")

    def names_under(self, prefix: str) -> list[str]:
        return sorted(o.object_name for o in
                      self.client.list_objects(self.bucket, prefix=prefix, recursive=True))

    def s3path(self, key: str) -> Any:
        return self.S3Path(f"s3://{self.bucket}/{key}", client=self.cloud_client)

    def s3fs_path(self, key: str) -> str:
        return f"{self.bucket}/{key}"


# -- the SDK floor: the calls each member makes, by hand -----------------------------------


def fetch(client: Any, bucket: str, name: str) -> bytes:
    """get_object, read it whole, then close the response and give the connection back."""
    response = client.get_object(bucket, name)
    try:
        return response.read()
    finally:
        try:
            response.close()
        finally:
            response.release_conn()


class Floor:
    def __init__(self, world: World) -> None:
        self.w = world
        self.c = world.client
        self.b = world.bucket

    def exists(self, name: str) -> bool:
        try:
            self.c.stat_object(self.b, name)
            return True
        except self.w.S3Error as exc:
            if exc.code == "NoSuchBucket":
                raise FileNotFoundError(f"Bucket: '{self.b}' does not exist.") from None
            return False

    def is_dir(self, name: str) -> bool:
        prefix = name.strip("/") + "/"
        for obj in self.c.list_objects(self.b, prefix=prefix, recursive=False):
            if obj.object_name != prefix:
                return True
        return False

    def mtime(self, name: str) -> datetime.datetime:
        if not self.exists(name):
            raise FileNotFoundError(name)
        stat = self.c.stat_object(self.b, name)
        return datetime.datetime.fromtimestamp(stat.last_modified.timestamp())

    def read(self, name: str) -> bytes:
        if not self.exists(name):
            raise FileNotFoundError(name)
        return fetch(self.c, self.b, name)

    def write(self, name: str, data: bytes) -> None:
        stream = io.BytesIO(data)
        stream.seek(0, io.SEEK_END)
        size = stream.tell()
        stream.seek(0)
        self.c.put_object(self.b, name, stream, length=size)

    def upload(self, name: str, local: str) -> None:
        path = pathlib.Path(local)
        if path.is_dir():
            for item in path.iterdir():
                self.upload(f"{name}/{item.name}", item.as_posix())
        else:
            self.c.fput_object(self.b, name, path.as_posix())

    def glob(self, name: str) -> list[str]:
        # The listing alone: matching names and making paths is the module's own work.
        return [obj.object_name for obj in
                self.c.list_objects(self.b, prefix=name + "/", recursive=False)]

    def delete(self, name: str) -> None:
        if self.is_dir(name):
            prefix = name.strip("/") + "/"
            objs = self.c.list_objects(self.b, prefix=prefix, recursive=True)
            records = [self.w.DeleteObject(obj.object_name) for obj in objs]
            for error in self.c.remove_objects(self.b, records):
                print(f"Error deleting object '{error.name}': {error.message}", flush=True)
        else:
            self.c.remove_object(self.b, name)

    def create_bucket(self) -> None:
        if not self.c.bucket_exists(self.b):
            self.c.make_bucket(self.b)


# -- jobs ---------------------------------------------------------------------------------


@dataclass
class Sizes:
    small: int
    medium: int
    large: int
    tree_files: int
    glob_entries: int
    delete_objects: int
    calls_small: int
    calls_medium: int
    rounds: int
    rounds_bulk: int
    warmup: int  # rounds run and dropped before the measured ones


FULL = Sizes(small=KIB, medium=MIB, large=64 * MIB, tree_files=500, glob_entries=1000,
             delete_objects=2000, calls_small=20, calls_medium=6, rounds=15, rounds_bulk=6,
             warmup=1)
QUICK = Sizes(small=KIB, medium=64 * KIB, large=1 * MIB, tree_files=20, glob_entries=30,
              delete_objects=30, calls_small=2, calls_medium=1, rounds=1, rounds_bulk=1,
              warmup=0)

CONTENDERS = ("module", "sdk floor", "s3fs", "cloudpathlib")


@dataclass
class Job:
    name: str
    run: dict[str, Optional[Callable[[], Any]]]  # contender -> one call of the job
    check: Callable[[str, Any], None]  # contender, result -> raises if wrong
    calls: int = 1
    rounds: int = 5
    before: Optional[Callable[[str], None]] = None  # untimed, before every call
    notes: dict[str, str] = field(default_factory=dict)


def size_label(n: int) -> str:
    return f"{n // MIB} MiB" if n >= MIB else f"{n // KIB} KiB"


def expect(value: Any) -> Callable[[str, Any], None]:
    def check(who: str, result: Any) -> None:
        if result != value:
            raise AssertionError(f"{who} gave {result!r}, expected {value!r}")
    return check


def build_jobs(w: World) -> list[Job]:
    s = w.sizes
    floor = Floor(w)
    P = w.MinIOPath
    fs = w.fs
    jobs: list[Job] = []

    # Shared, read-only objects.
    present, absent, directory = "e2e/present.bin", "e2e/absent.bin", "e2e/dir"
    w.put_many([present], b"p" * KIB)
    w.put_many([f"{directory}/f{i}.txt" for i in range(5)])
    present_path, absent_path, dir_path = P(path=present), P(path=absent), P(path=directory)
    present_s3, absent_s3, dir_s3 = w.s3path(present), w.s3path(absent), w.s3path(directory)

    for label, key, path, s3path, answer in (
            ("exists (present)", present, present_path, present_s3, True),
            ("exists (absent)", absent, absent_path, absent_s3, False)):
        jobs.append(Job(label, {
            "module": lambda path=path: path.exists,
            "sdk floor": lambda key=key: floor.exists(key),
            "s3fs": lambda key=key: fs.exists(w.s3fs_path(key)),
            "cloudpathlib": lambda s3path=s3path: s3path.exists(),
        }, expect(answer), calls=s.calls_small, rounds=s.rounds))
    jobs.append(Job("is_dir (5 objects)", {
        "module": lambda: dir_path.is_dir(),
        "sdk floor": lambda: floor.is_dir(directory),
        "s3fs": lambda: fs.isdir(w.s3fs_path(directory)),
        "cloudpathlib": lambda: dir_s3.is_dir(),
    }, expect(True), calls=s.calls_small, rounds=s.rounds))

    modified = floor.mtime(present)

    def check_mtime(who: str, value: Any) -> None:
        if isinstance(value, float):
            value = datetime.datetime.fromtimestamp(value)
        if isinstance(value, datetime.datetime) and value.tzinfo is not None:
            value = datetime.datetime.fromtimestamp(value.timestamp())
        if value != modified:
            raise AssertionError(f"{who} gave {value!r}, expected {modified!r}")

    jobs.append(Job("mtime", {
        "module": lambda: present_path.mtime,
        "sdk floor": lambda: floor.mtime(present),
        "s3fs": lambda: fs.modified(w.s3fs_path(present)),
        "cloudpathlib": lambda: present_s3.stat().st_mtime,
    }, check_mtime, calls=s.calls_small, rounds=s.rounds))

    # Reads and writes at three sizes.
    for size in (s.small, s.medium, s.large):
        label = size_label(size)
        calls = s.calls_small if size == s.small else (
            s.calls_medium if size == s.medium else 1)
        rounds = s.rounds if size != s.large else s.rounds_bulk
        data = os.urandom(size)
        key = f"e2e/read/{label.replace(' ', '')}"
        w.put_many([key], data)
        rp, rs = P(path=key), w.s3path(key)
        jobs.append(Job(f"read ({label})", {
            "module": lambda rp=rp: rp.read(),
            "sdk floor": lambda key=key: floor.read(key),
            "s3fs": lambda key=key: fs.cat_file(w.s3fs_path(key)),
            "cloudpathlib": lambda rs=rs: rs.read_bytes(),
        }, expect(data), calls=calls, rounds=rounds))

        keys = {c: f"e2e/write/{c.replace(' ', '-')}/{label.replace(' ', '')}"
                for c in CONTENDERS}
        wp, ws = P(path=keys["module"]), w.s3path(keys["cloudpathlib"])

        def check_write(who: str, _: Any, keys: dict[str, str] = keys,
                        data: bytes = data) -> None:
            got = floor.read(keys[who])
            if got != data:
                raise AssertionError(f"{who} stored {len(got)} bytes that differ")

        jobs.append(Job(f"write ({label})", {
            "module": lambda wp=wp, data=data: wp.write(data),
            "sdk floor": lambda keys=keys, data=data: floor.write(keys["sdk floor"], data),
            "s3fs": lambda keys=keys, data=data: fs.pipe_file(w.s3fs_path(keys["s3fs"]), data),
            "cloudpathlib": lambda ws=ws, data=data: ws.write_bytes(data),
        }, check_write, calls=calls, rounds=rounds))

    # upload() of a tree of small files: ten directories of equal share.
    tree = os.path.join(w.tmp, "tree")
    for i in range(s.tree_files):
        sub = os.path.join(tree, f"d{i % 10}")
        os.makedirs(sub, exist_ok=True)
        with open(os.path.join(sub, f"f{i:04d}.txt"), "wb") as stream:
            stream.write(b"t" * 256)
    up = {c: f"e2e/upload/{c.replace(' ', '-')}" for c in CONTENDERS}
    expected_tree = sorted(os.path.relpath(os.path.join(d, f), tree).replace(os.sep, "/")
                           for d, _, files in os.walk(tree) for f in files)

    def check_upload(who: str, _: Any) -> None:
        got = [n[len(up[who]) + 1:] for n in w.names_under(up[who] + "/")]
        if got != expected_tree:
            raise AssertionError(f"{who} uploaded {len(got)} objects, expected "
                                 f"{len(expected_tree)}")

    jobs.append(Job(f"upload (tree of {s.tree_files} files)", {
        "module": lambda: P(path=up["module"]).upload(tree),
        "sdk floor": lambda: floor.upload(up["sdk floor"], tree),
        "s3fs": lambda: fs.put(tree + "/", w.s3fs_path(up["s3fs"]) + "/", recursive=True),
        "cloudpathlib": lambda: w.s3path(up["cloudpathlib"]).upload_from(
            tree, force_overwrite_to_cloud=True),
    }, check_upload, rounds=s.rounds_bulk,
        before=lambda who: w.remove_prefix(up[who] + "/")))

    # glob() over a directory of many entries.
    listed = "e2e/glob"
    w.put_many([f"{listed}/g{i:05d}.txt" for i in range(s.glob_entries)])
    glob_path, glob_s3 = P(path=listed), w.s3path(listed)

    def check_glob(who: str, result: Any) -> None:
        if len(result) != s.glob_entries:
            raise AssertionError(f"{who} listed {len(result)}, expected {s.glob_entries}")

    jobs.append(Job(f"glob ({s.glob_entries} entries)", {
        "module": lambda: list(glob_path.glob("*")),
        "sdk floor": lambda: floor.glob(listed),
        "s3fs": lambda: fs.glob(w.s3fs_path(listed) + "/*"),
        "cloudpathlib": lambda: list(glob_s3.glob("*")),
    }, check_glob, rounds=s.rounds_bulk))

    # delete() of a directory of many objects, filled again before every call.
    dele = {c: f"e2e/delete/{c.replace(' ', '-')}" for c in CONTENDERS}

    def refill(who: str) -> None:
        w.put_many([f"{dele[who]}/o{i:05d}" for i in range(s.delete_objects)])

    def check_deleted(who: str, _: Any) -> None:
        left = w.names_under(dele[who] + "/")
        if left:
            raise AssertionError(f"{who} left {len(left)} objects")

    jobs.append(Job(f"delete (directory of {s.delete_objects})", {
        "module": lambda: P(path=dele["module"]).delete(),
        "sdk floor": lambda: floor.delete(dele["sdk floor"]),
        "s3fs": lambda: fs.rm(w.s3fs_path(dele["s3fs"]), recursive=True),
        "cloudpathlib": lambda: w.s3path(dele["cloudpathlib"]).rmtree(),
    }, check_deleted, rounds=s.rounds_bulk, before=refill))

    root = P()
    jobs.append(Job("create_bucket (existing)", {
        "module": lambda: root.create_bucket(),
        "sdk floor": floor.create_bucket,
        "s3fs": lambda: fs.makedirs(w.bucket, exist_ok=True),
        "cloudpathlib": None,
    }, expect(None), calls=s.calls_small, rounds=s.rounds,
        notes={"cloudpathlib": "cloudpathlib cannot create buckets (S3Path.mkdir does "
                               "nothing)"}))
    return jobs


# -- measuring ----------------------------------------------------------------------------


PAIR = ("module", "sdk floor")


def timed(job: Job, who: str) -> Callable[[], float]:
    """One sample of a contender: the mean time of job.calls calls."""
    fn = job.run[who]
    assert fn is not None

    def sample() -> float:
        if job.calls > 1:
            _untimed_call(job, who)
        total = 0.0
        for _ in range(job.calls):
            if job.before is not None:
                job.before(who)
            start = time.perf_counter()
            fn()
            total += time.perf_counter() - start
        return total / job.calls
    return sample


def _untimed_call(job: Job, who: str) -> None:
    # The first call after a pause is slower than the next ones (caches, the server's
    # threads); where a sample has several calls, one more call goes first, untimed.
    if job.before is not None:
        job.before(who)
    fn = job.run[who]
    assert fn is not None
    fn()


def timed_pair(job: Job) -> Callable[[int], dict[str, float]]:
    """One sample of the module and the floor, call by call in alternation (ABBA...), so
    that both see the same moments of a noisy machine; which goes first alternates with
    the round."""
    fns = {who: job.run[who] for who in PAIR}

    def sample(round_index: int) -> dict[str, float]:
        if job.calls > 1:
            for who in PAIR:
                _untimed_call(job, who)
        totals = dict.fromkeys(PAIR, 0.0)
        cpu = dict.fromkeys(PAIR, 0.0)
        for index in range(2 * job.calls):
            # module, floor, floor, module, ... or the other way round.
            who = PAIR[(index + index // 2 + round_index) % 2]
            if job.before is not None:
                job.before(who)
            fn = fns[who]
            assert fn is not None
            start_cpu = time.process_time()
            start = time.perf_counter()
            fn()
            totals[who] += time.perf_counter() - start
            cpu[who] += time.process_time() - start_cpu
        result = {who: total / job.calls for who, total in totals.items()}
        # The client's CPU time (all its threads): the same requests cost the same server
        # time, so this is where the module's own extra work shows, with far less noise.
        result.update({f"{who} cpu": total / job.calls for who, total in cpu.items()})
        return result
    return sample


def measure_job(w: World, job: Job) -> dict[str, Any]:
    active = [c for c in CONTENDERS if job.run.get(c) is not None]
    # Check every contender's answer, and count its requests, outside the timing.
    requests: dict[str, int] = {}
    server_seconds: dict[str, float] = {}
    for who in active:
        if job.before is not None:
            job.before(who)
        count, seconds = w.server.requests()
        result = job.run[who]()  # type: ignore[misc]
        count_after, seconds_after = w.server.requests()
        requests[who] = count_after - count
        server_seconds[who] = seconds_after - seconds
        job.check(who, result)
    # Rounds: the module/floor pair, then each peer; the peers' order rotates, and every
    # other round runs backwards.
    pair = timed_pair(job)
    peers = [(who, timed(job, who)) for who in active if who not in PAIR]
    samples: dict[str, list[float]] = {who: [] for who in active}
    samples.update({f"{who} cpu": [] for who in PAIR})
    for round_index in range(w.sizes.warmup + job.rounds):
        shift = round_index % max(1, len(peers))
        steps: list[tuple[str, Callable[[], Any]]] = [
            ("pair", lambda r=round_index: pair(r))]
        steps += peers[shift:] + peers[:shift]
        if round_index % 2:
            steps.reverse()
        for who, sample in steps:
            common.collect_garbage()
            value = sample()
            if round_index < w.sizes.warmup:
                continue
            if who == "pair":
                for name, seconds in value.items():
                    samples[name].append(seconds)
            else:
                samples[who].append(value)
    row: dict[str, Any] = {"name": job.name, "calls_per_sample": job.calls,
                           "rounds": job.rounds, "requests": requests,
                           "server_seconds": server_seconds, "notes": job.notes}
    for who in active:
        row[who] = common.Spread.of(samples[who]).as_dict()
    row["module/floor"] = common.Spread.of(
        common.ratios(samples["module"], samples["sdk floor"])).as_dict()
    for who in PAIR:
        row[f"{who} cpu"] = common.Spread.of(samples[f"{who} cpu"]).as_dict()
    row["module/floor cpu"] = common.Spread.of(
        common.ratios(samples["module cpu"], samples["sdk floor cpu"])).as_dict()
    for peer in ("s3fs", "cloudpathlib"):
        if peer in samples:
            row[f"{peer}/module"] = common.Spread.of(
                common.ratios(samples[peer], samples["module"])).as_dict()
    return row


def run(quick: bool) -> common.Section:
    sizes = QUICK if quick else FULL
    section = common.Section("e2e")
    bucket = f"quorvex-bench-{os.getpid()}"
    with Server() as server:
        w = World(server, bucket, sizes)
        try:
            w.client.make_bucket(bucket)
            try:
                for job in build_jobs(w):
                    row = measure_job(w, job)
                    section.rows.append(row)
                    print(f"  measured {job.name}", file=sys.stderr, flush=True)
            finally:
                w.remove_prefix("")
                w.client.remove_bucket(bucket)
        finally:
            w.close()
    for row in section.rows:
        ratio = row["module/floor"]["median"]
        section.targets.append({
            "what": f"e2e: {row['name']}: module within 3% of the SDK floor",
            "measured": ratio, "goal": FLOOR_TOLERANCE, "met": ratio <= FLOOR_TOLERANCE})
        for peer in ("s3fs", "cloudpathlib"):
            key = f"{peer}/module"
            if key in row:
                section.targets.append({
                    "what": f"e2e: {row['name']}: module ahead of {peer}",
                    "measured": row[key]["median"], "goal": 1.0,
                    "met": row[key]["median"] > 1.0})
    return section


def report(section: common.Section) -> None:
    rows = []
    for row in section.rows:
        cells = [row["name"]]
        for who in CONTENDERS:
            cells.append(common.fmt_spread_time(common.Spread(**row[who]))
                         if who in row else "n/a")
        ratio = common.Spread(**row["module/floor"])
        cells.append(common.fmt_ratio(ratio) + (" ok" if ratio.median <= FLOOR_TOLERANCE
                                                else " MISSED"))
        for peer in ("s3fs", "cloudpathlib"):
            key = f"{peer}/module"
            cells.append(common.fmt_ratio(common.Spread(**row[key])) if key in row else "n/a")
        req = row["requests"]
        cells.append("/".join(f"{req[w]:.0f}" if w in req else "-" for w in CONTENDERS))
        rows.append(cells)
    notes = sorted({n for row in section.rows for n in row["notes"].values()})
    common.print_table(
        "2. End to end against the embedded moto store (median [min-max] per call)",
        ["job", "module", "sdk floor", "s3fs", "cloudpathlib", "module/floor (<=1.03)",
         "s3fs/module", "cloudpathlib/module", "requests mod/sdk/s3fs/cpl"],
        rows, note="peer/module > 1: the module is faster.  " + " ".join(notes))
    detail = []
    for row in section.rows:
        cells = [row["name"],
                 f"{common.fmt_time(row['module cpu']['median'])} / "
                 f"{common.fmt_time(row['sdk floor cpu']['median'])}",
                 common.fmt_ratio(common.Spread(**row["module/floor cpu"]))]
        for who in CONTENDERS:
            if who in row["requests"]:
                cells.append(f"{row['requests'][who]} req, "
                             f"{common.fmt_time(row['server_seconds'][who])}")
            else:
                cells.append("n/a")
        detail.append(cells)
    common.print_table(
        "2b. Client CPU per call (median, module / floor); requests one call makes and the "
        "server's time answering them (one untimed call)",
        ["job", "client CPU mod / floor", "cpu module/floor", *CONTENDERS], detail,
        note="client CPU: process time of the benchmark's process, all threads, in the same "
             "ABBA rounds as the wall times.\nthe rest of a call's time is the server and the "
             "loopback transfer.")


def main(argv: Optional[list[str]] = None) -> int:
    return common.section_main(__doc__, run, report, argv)


if __name__ == "__main__":
    sys.exit(main())
