"""The README's examples run as written, from the repository's root, and
print what their comments say: a newcomer pastes them as they are."""

from __future__ import annotations

import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text(encoding="utf-8")
PYTHON = re.findall(r"^```python\n(.*?)^```", README, re.S | re.M)
SHELL = re.findall(r"^```sh\n(.*?)^```", README, re.S | re.M)
PELLQUIST = str(Path(sys.executable).with_name("pellquist"))


def test_the_application_example_prints_what_its_comments_say():
    assert PYTHON, "README.md has no python example"
    code = "\n".join(PYTHON)
    promised = re.findall(r"^print\(.*\)\s+#\s*(.+)$", code, re.M)
    assert promised, "the example's prints say what they print"
    done = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == promised


def _commands() -> list[list[str]]:
    """Each `pellquist ...` command of the README's shell blocks, its
    continuation lines joined and its trailing comment dropped."""
    found = []
    for block in SHELL:
        for command in block.replace("\\\n", " ").splitlines():
            words = shlex.split(command, comments=True)
            if words[:1] == ["pellquist"]:
                found.append(words)
    return found


@pytest.mark.parametrize("words", _commands(), ids=lambda words: " ".join(words[:2]))
def test_the_shell_examples_run(words, tmp_path):
    # init reads a database of the reader's: here, one made for the purpose,
    # with the shop's internal tables.
    if words[1] == "init":
        import sqlite3

        from pellquist import demo

        with sqlite3.connect(tmp_path / "shop.db") as db:
            db.executescript("\n".join(demo.database().iterdump()))
        pytest.importorskip("sqlalchemy")
    cwd = tmp_path if words[1] == "init" else ROOT
    done = subprocess.run([PELLQUIST, *words[1:]], cwd=cwd, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip()
