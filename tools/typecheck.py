"""Type checks: ``mypy --strict`` on the README's Python examples and on the
package, and ``stubtest`` comparing the package's types with what it holds
at run time (the compiled core's stub included).

The examples are checked as a user's code would be: against the installed
package, from outside the checkout, so ``src/`` is never what mypy reads.
Exits non-zero when either check fails.
"""

from __future__ import annotations

import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def examples() -> list[str]:
    return BLOCK.findall((ROOT / "README.md").read_text(encoding="utf-8"))


def run(*argv: str, cwd: Path) -> int:
    print("$", " ".join(argv[2:]), flush=True)
    return subprocess.run([sys.executable, *argv], cwd=cwd).returncode


def main() -> int:
    found = examples()
    if not found:
        print("no ```python blocks in README.md", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="pellquist-types-") as tmp:
        here = Path(tmp)
        # The blocks are one walk-through: a later one uses the names of the
        # earlier ones, so they are checked as one module.
        (here / "readme_examples.py").write_text("\n".join(found), encoding="utf-8")
        status = run("-m", "mypy", "--strict", "--no-incremental", "readme_examples.py", cwd=here)
        status |= run("-m", "mypy", "--strict", "--no-incremental", "-p", "pellquist", cwd=here)
        status |= run("-m", "mypy.stubtest", "pellquist", "--allowlist",
                      str(ROOT / "tools" / "stubtest-allowlist.txt"), cwd=here)
    return 1 if status else 0


if __name__ == "__main__":
    sys.exit(main())
