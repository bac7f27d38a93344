"""Dask worker processes reading quorvex:// URLs (moto only: the workers reach the server
of the test process over loopback, and one server shows what the workers are given)."""

from __future__ import annotations

import io
import os
from typing import Any

import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

from quorvex.config import configure  # noqa: E402
from quorvex.filesystem import configure_workers  # noqa: E402

pytestmark = [pytest.mark.integration, pytest.mark.parametrize("s3", ["moto"], indirect=True)]


def _minio_variables() -> list[str]:
    return sorted(name for name in os.environ if name.startswith("MINIO_"))


def test_workers_read_parts_from_their_environment_or_from_configure_workers(
        configured: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    configured.make_bucket()
    for number in range(3):
        body = f"n,part\n{number},{number * 10}\n{number},{number * 10 + 1}\n".encode()
        configured.client.put_object(configured.bucket, f"parts/{number}.csv",
                                     io.BytesIO(body), length=len(body))
    expected = sorted((n, p) for n in range(3) for p in (n * 10, n * 10 + 1))

    def read_all() -> list[tuple[int, int]]:
        frame = dd.read_csv("quorvex://parts/*.csv").compute()
        return sorted(zip(frame["n"].tolist(), frame["part"].tolist()))

    # Workers that inherit MINIO_* from this process.
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        assert all(names for names in client.run(_minio_variables).values())
        assert read_all() == expected

    # Workers without them: this process keeps its settings as configure() values only.
    settings = {name.removeprefix("MINIO_").lower(): os.environ[name]
                for name in _minio_variables()}
    for name in _minio_variables():
        monkeypatch.delenv(name)
    with configure("minio", **settings), \
            distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                     dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        assert set(map(tuple, client.run(_minio_variables).values())) == {()}
        with pytest.raises(LookupError):  # ConfigurationError: no bucket on the workers
            read_all()
        configure_workers(client)
        assert read_all() == expected
        assert set(map(tuple, client.run(_minio_variables).values())) == {()}
