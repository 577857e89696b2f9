"""Fail when the running environment holds a distribution the lock does not pin.

`make install` and its siblings install with the lock as a constraints file,
which pins every version it names but lets a name it lacks through at any
version.  This closes that gap: every installed distribution but pellquist
itself must be in the lock at exactly the installed version.

    python tools/check_lock.py requirements/lock.txt
"""

from __future__ import annotations

import importlib.metadata
import sys

from packaging.markers import Marker
from packaging.requirements import Requirement
from packaging.utils import canonicalize_name


def pins(lock: str) -> dict[str, str]:
    """The lock's exact pins that apply to this interpreter, by canonical name."""
    out: dict[str, str] = {}
    with open(lock, encoding="utf-8") as f:
        for raw in f:
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            req = Requirement(line)
            if req.marker is not None and not Marker(str(req.marker)).evaluate():
                continue
            specs = list(req.specifier)
            if len(specs) != 1 or specs[0].operator != "==":
                raise SystemExit(f"{lock}: {line!r} is not an exact pin")
            out[canonicalize_name(req.name)] = specs[0].version
    return out


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print("usage: check_lock.py LOCKFILE", file=sys.stderr)
        return 2
    lock = argv[1]
    pinned = pins(lock)
    problems = []
    for dist in importlib.metadata.distributions():
        name = canonicalize_name(dist.metadata["Name"])
        if name == "pellquist":
            continue
        want = pinned.get(name)
        if want is None:
            problems.append(f"{name} {dist.version} is installed but not pinned")
        elif dist.version != want:
            problems.append(f"{name} {dist.version} is installed, the lock pins {want}")
    for p in sorted(problems):
        print(f"{lock}: {p}", file=sys.stderr)
    if problems:
        print("reinstall the venv (make clean install), or move the pins: make update-deps",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
