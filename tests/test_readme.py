"""The Python examples of README.md and of every docs/*.md run as written.

Each file runs in a fresh interpreter whose environment has no MINIO_* or QUORVEX_CONFIG of
the developer's, its blocks in one namespace.  The README's own order is: first the block
that starts the embedded store, then all the others in the order they appear.  A docs file
runs after that same store block, so its examples have ``store`` and the MINIO_* variables
that point at it, and nothing else of the README: each docs file stands on its own.  Any
docs/*.md with a ```python block is picked up.  A block that fails names its file and its
first line.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
DOCS = ROOT / "docs"
_FENCE = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)

Block = tuple[str, int, str]
"""(file name, line of the block's first code line, code)."""

# Runs in the child: the blocks as (file, first line, code), the store's block first.
_RUNNER = """
import json, sys, traceback
blocks = json.loads(sys.stdin.read())
namespace = {"__name__": "__readme__"}
try:
    for name, line, code in blocks:
        try:
            exec(compile(code, f"{name}, block at line {line}", "exec"), namespace)
        except BaseException:
            traceback.print_exc()
            print(f"the example at {name} line {line} failed", file=sys.stderr)
            sys.exit(1)
finally:
    store = namespace.get("store")
    if store is not None:
        store.stop()
"""


def python_blocks(text: str, name: str) -> list[Block]:
    """(name, line of the block's first code line, code) of every ```python block, in order."""
    return [(name, text.count("\n", 0, match.start(1)) + 1, match.group(1))
            for match in _FENCE.finditer(text)]


def store_block(blocks: list[Block]) -> Block:
    store = [block for block in blocks if "EmbeddedStore()" in block[2]]
    assert len(store) == 1, "the README has one example that starts the embedded store"
    return store[0]


def in_running_order(readme: list[Block], document: list[Block] | None = None) -> list[Block]:
    """The README's blocks, store first; or the store block, then a docs file's blocks."""
    store = store_block(readme)
    if document is None:
        return [store] + [block for block in readme if block is not store]
    return [store] + document


def documents() -> list[Path]:
    """README.md and every docs/*.md that has a Python example, README first."""
    found = [path for path in sorted(DOCS.glob("*.md"))
             if python_blocks(path.read_text(encoding="utf-8"), path.name)]
    return [README] + found


def test_extraction_keeps_every_block_and_runs_the_store_first() -> None:
    readme = python_blocks("```python\nfront = 1\n```\n```bash\nls\n```\n"
                           "```python\nEmbeddedStore()\n```\n```python\nlast = 2\n```\n",
                           "README.md")
    assert [line for _, line, _ in in_running_order(readme)] == [8, 2, 11]
    # A docs file gets the README's store block and nothing else of the README.
    document = python_blocks("# T\n\n```python\nuses(store)\n```\n```text\nout\n```\n",
                             "docs/t.md")
    assert in_running_order(readme, document) == [
        ("README.md", 8, "EmbeddedStore()\n"), ("docs/t.md", 4, "uses(store)\n")]


def test_no_python_example_is_left_out() -> None:
    """An indented or badly closed ```python fence would not run: every one must."""
    run = documents()
    for path in [README, *DOCS.glob("*.md")]:
        text = path.read_text(encoding="utf-8")
        fences = text.count("```python")
        assert len(python_blocks(text, path.name)) == fences, path.name
        assert (path in run) == (fences > 0), path.name


@pytest.mark.integration
@pytest.mark.parametrize("document", documents(), ids=lambda path: path.name)
def test_every_python_example_runs_as_written(document: Path, tmp_path: Path) -> None:
    readme = python_blocks(README.read_text(encoding="utf-8"), "README.md")
    if document == README:
        blocks = in_running_order(readme)
        assert len(blocks) >= 4  # the front example, the store, the tour, configuration
    else:
        name = f"docs/{document.name}"
        blocks = in_running_order(readme, python_blocks(document.read_text("utf-8"), name))
    env = {name: value for name, value in os.environ.items()
           if not name.startswith("MINIO_") and name != "QUORVEX_CONFIG"}
    completed = subprocess.run([sys.executable, "-c", _RUNNER], input=json.dumps(blocks),
                               capture_output=True, text=True, env=env, cwd=tmp_path,
                               timeout=300)
    assert completed.returncode == 0, completed.stderr[-4000:]
    if document == README:
        # What the front example read back, and the tour's du() as its comment shows it.
        assert "b'a,b\\n1,2\\n'" in completed.stdout
        assert "DiskUsage(size=41, count=3)" in completed.stdout
