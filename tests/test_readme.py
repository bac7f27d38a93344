"""The README's Python examples run as written.

Every ```python block of README.md runs, in one namespace, in a fresh interpreter whose
environment has no MINIO_* or QUORVEX_CONFIG of the developer's: first the block that
starts the embedded store, then all the others in the order they appear.  A block that
fails names its first line in the README.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
_FENCE = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)

# Runs in the child: the blocks as (first line, code), the store's block first.
_RUNNER = """
import json, sys, traceback
blocks = json.loads(sys.stdin.read())
namespace = {"__name__": "__readme__"}
try:
    for line, code in blocks:
        try:
            exec(compile(code, f"README.md, block at line {line}", "exec"), namespace)
        except BaseException:
            traceback.print_exc()
            print(f"the example at README.md line {line} failed", file=sys.stderr)
            sys.exit(1)
finally:
    store = namespace.get("store")
    if store is not None:
        store.stop()
"""


def python_blocks(text: str) -> list[tuple[int, str]]:
    """(line of the block's first code line, code) of every ```python block, in order."""
    return [(text.count("\n", 0, match.start(1)) + 1, match.group(1))
            for match in _FENCE.finditer(text)]


def in_running_order(blocks: list[tuple[int, str]]) -> list[tuple[int, str]]:
    store = [block for block in blocks if "EmbeddedStore()" in block[1]]
    assert len(store) == 1, "the README has one example that starts the embedded store"
    return store + [block for block in blocks if block is not store[0]]


def test_extraction_keeps_every_block_and_runs_the_store_first() -> None:
    blocks = python_blocks("```python\nfront = 1\n```\n```bash\nls\n```\n"
                           "```python\nEmbeddedStore()\n```\n```python\nlast = 2\n```\n")
    assert [line for line, _ in in_running_order(blocks)] == [8, 2, 11]


@pytest.mark.integration
def test_every_python_example_runs_as_written(tmp_path: Path) -> None:
    blocks = in_running_order(python_blocks(README.read_text(encoding="utf-8")))
    assert len(blocks) >= 4  # the front example, the store, configuration in code, threads
    env = {name: value for name, value in os.environ.items()
           if not name.startswith("MINIO_") and name != "QUORVEX_CONFIG"}
    completed = subprocess.run([sys.executable, "-c", _RUNNER], input=json.dumps(blocks),
                               capture_output=True, text=True, env=env, cwd=tmp_path,
                               timeout=300)
    assert completed.returncode == 0, completed.stderr[-4000:]
    # The front example prints what it read back.
    assert "b'a,b\\n1,2\\n'" in completed.stdout
