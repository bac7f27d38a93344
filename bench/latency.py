"""A loopback TCP proxy that delays every byte by a set time each way, for the benchmark.

    python bench/latency.py UPSTREAM_HOST:PORT [--delay 0.010]

Prints one JSON line ``{"port": N}`` once it listens on 127.0.0.1, then serves until its
standard input closes.  A line "count" on standard input is answered with the bytes
forwarded so far, ``{"up": client-to-server bytes, "down": server-to-client bytes}``.

Each chunk read from one side is written to the other ``delay`` seconds after it was
read, in order; chunks do not wait for one another, so the link has latency but no
bandwidth limit, like a store a few milliseconds away.  It runs in a process of its own
so that it does not compete with the measured client for the interpreter lock.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import sys
import threading
from typing import Optional

counts = {"up": 0, "down": 0}


async def pump(reader: asyncio.StreamReader, writer: asyncio.StreamWriter, delay: float,
               direction: str) -> None:
    loop = asyncio.get_running_loop()
    queue: asyncio.Queue[tuple[float, Optional[bytes]]] = asyncio.Queue()

    async def deliver() -> None:
        while True:
            due, chunk = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if chunk is None:
                break
            writer.write(chunk)
            await writer.drain()
        writer.close()

    sender = asyncio.create_task(deliver())
    try:
        while True:
            chunk = await reader.read(256 * 1024)
            if not chunk:
                break
            counts[direction] += len(chunk)
            queue.put_nowait((loop.time() + delay, chunk))
    except (ConnectionError, OSError):
        pass
    queue.put_nowait((loop.time() + delay, None))
    try:
        await sender
    except (ConnectionError, OSError):
        pass


async def serve(upstream: tuple[str, int], delay: float) -> None:
    async def link(client_reader: asyncio.StreamReader,
                   client_writer: asyncio.StreamWriter) -> None:
        try:
            server_reader, server_writer = await asyncio.open_connection(*upstream)
        except OSError:
            client_writer.close()
            return
        try:
            await asyncio.gather(pump(client_reader, server_writer, delay, "up"),
                                 pump(server_reader, client_writer, delay, "down"))
        except asyncio.CancelledError:
            pass  # the proxy is shutting down

    server = await asyncio.start_server(link, "127.0.0.1", 0, backlog=512)
    port = server.sockets[0].getsockname()[1]
    print(json.dumps({"port": port}), flush=True)
    finished = asyncio.Event()
    loop = asyncio.get_running_loop()

    def commands() -> None:
        for line in sys.stdin:
            if line.strip() == "count":
                print(json.dumps(counts), flush=True)
        loop.call_soon_threadsafe(finished.set)

    threading.Thread(target=commands, daemon=True).start()
    async with server:
        await finished.wait()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("upstream", help="host:port of the store")
    parser.add_argument("--delay", type=float, default=0.010,
                        help="seconds added each way (default 0.010)")
    args = parser.parse_args()
    host, _, port = args.upstream.rpartition(":")
    asyncio.run(serve((host, int(port)), args.delay))
    return 0


if __name__ == "__main__":
    sys.exit(main())
