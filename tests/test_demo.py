"""The main job of the README, the demo, runs to the end against the embedded store."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest


@pytest.mark.integration
def test_the_demo_tours_every_member_and_cleans_up(tmp_path: Path) -> None:
    env = {name: value for name, value in os.environ.items()
           if not name.startswith("MINIO_") and name != "QUORVEX_CONFIG"}
    completed = subprocess.run([sys.executable, "-m", "quorvex.minio.demo"], env=env,
                               cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr[-4000:]
    out = completed.stdout
    # The tour's prefix is its own name, not the bucket's again.
    assert "str(note)            -> (bucket='quorvex-demo', path='tour/notes/hello.txt')" in out
    # What the tour read back, listed and moved; then the bucket it made is gone again.
    assert "read()               -> b'Hello from quorvex.minio.path\\n'" in out
    assert "files ['dec.log', 'données.csv']" in out
    assert "progress ended at 94 of 94 bytes" in out
    assert "0 left at the source" in out
    assert out.rstrip().endswith("delete_bucket()      -> bucket_exists is now False\ndone")
