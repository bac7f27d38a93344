"""The embedded moto store in a process of its own, for the benchmark.

    python bench/server.py

Starts ``quorvex.minio.embedded.EmbeddedStore`` on the loopback address, prints one JSON
line with its endpoint and credentials, and serves until its standard input is closed (or
a line "stop" arrives); then it stops the store and exits.

The store runs apart from the benchmark so that the server's work does not compete for the
measuring process's interpreter lock and its memory does not count in the measured peaks.

The server counts the S3 requests it answers and the time it spends answering them.
``GET /__bench__/requests`` (not counted) answers with both as JSON, ``{"requests": N,
"seconds": S}``, so the benchmark can tell how many requests an operation made, whichever
client made them, and how much of its time the server took.
"""

from __future__ import annotations

import json
import sys
import threading
import time

COUNT_PATH = "/__bench__/requests"


def install_request_counter() -> None:
    from moto.moto_server import werkzeug_app

    app_class = werkzeug_app.DomainDispatcherApplication
    answer = app_class.__call__
    lock = threading.Lock()
    totals = {"requests": 0, "seconds": 0.0}

    def counting_call(self, environ, start_response):  # type: ignore[no-untyped-def]
        path = environ.get("PATH_INFO", "")
        if path == COUNT_PATH:
            with lock:
                body = json.dumps(totals).encode("ascii")
            start_response("200 OK", [("Content-Type", "application/json"),
                                      ("Content-Length", str(len(body)))])
            return [body]
        if path.startswith("/moto-api/"):
            return answer(self, environ, start_response)
        start = time.perf_counter()
        try:
            # moto builds the whole reply here; sending it is left to the server.
            return answer(self, environ, start_response)
        finally:
            elapsed = time.perf_counter() - start
            with lock:
                totals["requests"] += 1
                totals["seconds"] += elapsed

    app_class.__call__ = counting_call


def main() -> int:
    from quorvex.minio.embedded import EmbeddedStore

    install_request_counter()
    store = EmbeddedStore().start()
    try:
        print(json.dumps({"endpoint": store.endpoint, "access_key": store.access_key,
                          "secret_key": store.secret_key}), flush=True)
        for line in sys.stdin:
            if line.strip() == "stop":
                break
    finally:
        store.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
