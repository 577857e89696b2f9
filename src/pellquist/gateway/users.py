"""Gateway users: who may log in, with which SCRAM verifier, as which tenant.

A users file holds, for each user, a SCRAM-SHA-256 verifier (never a
password) and the params its queries are rewritten with::

    [users.alice]
    scram = "SCRAM-SHA-256$4096:<salt>$<StoredKey>:<ServerKey>"
    params = { tenant = 1, region = "EU" }
    max_connections = 10          # optional: cap for this user's tenant
    statement_timeout_ms = 30000  # optional

A TOML string is always a quoted SQL string (``SqlString``): a users file
cannot paste SQL into a row filter.  Integers, booleans, finite floats, dates
and date-times are passed as they are.
"""

from __future__ import annotations

import base64
import datetime
import hashlib
import hmac
import math
import os
import re
import secrets
import time
import tomllib
from collections import deque
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ..models import SqlString

MECHANISM = "SCRAM-SHA-256"
DEFAULT_ITERATIONS = 4096
_VERIFIER = re.compile(r"SCRAM-SHA-256\$(\d+):([A-Za-z0-9+/=]+)\$([A-Za-z0-9+/=]+):"
                       r"([A-Za-z0-9+/=]+)\Z")
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_.@-]{0,62}\Z")


class UsersError(ValueError):
    """A users file that cannot be read or does not describe valid users."""


@dataclass(frozen=True, slots=True)
class Verifier:
    iterations: int
    salt: bytes
    stored_key: bytes
    server_key: bytes

    @classmethod
    def parse(cls, text: str) -> Verifier:
        match = _VERIFIER.match(text)
        if not match:
            raise ValueError("expected SCRAM-SHA-256$<iterations>:<salt>$<StoredKey>:<ServerKey>")
        iterations, salt, stored, server = match.groups()
        return cls(int(iterations), base64.b64decode(salt), base64.b64decode(stored),
                   base64.b64decode(server))

    def text(self) -> str:
        b64 = base64.b64encode
        return (f"{MECHANISM}${self.iterations}:{b64(self.salt).decode()}$"
                f"{b64(self.stored_key).decode()}:{b64(self.server_key).decode()}")


def make_verifier(password: str, iterations: int = DEFAULT_ITERATIONS) -> Verifier:
    """A fresh verifier (random salt) for ``password``."""
    from scramp import ScramMechanism  # type: ignore[import-untyped]

    # A 16-byte salt, as PostgreSQL makes them: a users file of verifiers
    # made here and copied from a server looks alike.
    salt, stored, server, count = ScramMechanism(MECHANISM).make_auth_info(
        password, iteration_count=iterations, salt=secrets.token_bytes(16))
    return Verifier(int(count), bytes(salt), bytes(stored), bytes(server))


@dataclass(frozen=True, slots=True)
class User:
    name: str
    verifier: Verifier
    params: Mapping[str, Any]
    max_connections: int | None = None
    statement_timeout_ms: int | None = None

    @property
    def tenant(self) -> tuple[tuple[str, str], ...]:
        """What identifies the tenant: its params, whatever the user name."""
        return tuple(sorted((k, f"{type(v).__name__}:{v}") for k, v in self.params.items()))


def _param(where: str, value: Any) -> Any:
    if isinstance(value, bool | int | datetime.datetime | datetime.date) and not isinstance(
            value, datetime.time):
        return value
    if isinstance(value, float):
        if not math.isfinite(value):
            raise UsersError(f"{where}: not a finite number")
        return value
    if isinstance(value, str):
        try:
            return SqlString(value)
        except ValueError as e:
            raise UsersError(f"{where}: {e}") from None
    raise UsersError(f"{where}: a {type(value).__name__} is not a param value (numbers, "
                     "booleans, strings, dates and date-times are)")


def _positive(where: str, value: Any) -> int | None:
    if value is None:
        return None
    if not isinstance(value, int) or isinstance(value, bool) or value < 1:
        raise UsersError(f"{where}: expected a positive integer")
    return value


def users_from_data(data: Any, source: str) -> dict[str, User]:
    if not isinstance(data, dict) or set(data) - {"users"}:
        raise UsersError(f"{source}: expected only [users.NAME] tables")
    entries = data.get("users", {})
    if not isinstance(entries, dict):
        raise UsersError(f"{source}: users: expected tables")
    users: dict[str, User] = {}
    for name, entry in entries.items():
        where = f"{source}: users.{name}"
        if not _NAME.match(name):
            raise UsersError(f"{where}: not a valid user name")
        if not isinstance(entry, dict):
            raise UsersError(f"{where}: expected a table")
        unknown = sorted(set(entry) - {"scram", "params", "max_connections",
                                       "statement_timeout_ms"})
        if unknown:
            raise UsersError(f"{where}.{unknown[0]}: unknown key (expected scram, params, "
                             "max_connections, statement_timeout_ms)")
        try:
            verifier = Verifier.parse(entry.get("scram", ""))
        except (ValueError, TypeError) as e:
            raise UsersError(f"{where}.scram: {e}") from None
        raw = entry.get("params", {})
        if not isinstance(raw, dict):
            raise UsersError(f"{where}.params: expected an inline table of values")
        params = {k: _param(f"{where}.params.{k}", v) for k, v in raw.items()}
        users[name] = User(name, verifier, params,
                           _positive(f"{where}.max_connections", entry.get("max_connections")),
                           _positive(f"{where}.statement_timeout_ms",
                                     entry.get("statement_timeout_ms")))
    return users


def load_users(path: str | os.PathLike[str]) -> dict[str, User]:
    path = Path(path)
    try:
        data = tomllib.loads(path.read_text(encoding="utf-8"))
    except OSError as e:
        raise UsersError(f"{path}: cannot read: {e.strerror or e}") from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as e:
        raise UsersError(f"{path}: not valid TOML: {e}") from None
    return users_from_data(data, str(path))


def _toml_value(value: Any) -> str:
    if isinstance(value, SqlString):
        return '"' + value.value.replace('"', '\\"') + '"'
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, datetime.datetime | datetime.date):
        return value.isoformat()
    return repr(value)


def user_entry(name: str, password: str, params: Mapping[str, Any],
               iterations: int = DEFAULT_ITERATIONS) -> str:
    """The users-file section of a new user, its verifier made from ``password``."""
    if not _NAME.match(name):
        raise UsersError(f"{name!r} is not a valid user name")
    for key, value in params.items():
        if not key.isidentifier():
            raise UsersError(f"param {key!r}: not a valid name")
        _param(f"param {key}", value.value if isinstance(value, SqlString) else value)
    inline = ", ".join(f"{k} = {_toml_value(v)}" for k, v in params.items())
    return (f"[users.{name}]\nscram = \"{make_verifier(password, iterations).text()}\"\n"
            f"params = {{ {inline} }}\n")


def add_user(path: str | os.PathLike[str], name: str, password: str,
             params: Mapping[str, Any]) -> None:
    """Adds ``name`` to the users file at ``path`` (created if missing);
    an existing user of that name is an error, not replaced."""
    path = Path(path)
    existing = load_users(path) if path.exists() else {}
    if name in existing:
        raise UsersError(f"{path}: user {name!r} exists; remove its section first")
    entry = user_entry(name, password, params)
    with path.open("a", encoding="utf-8") as out:
        out.write(("\n" if existing else "") + entry)
    load_users(path)  # what was written reads back


# ---- the SCRAM exchange -----------------------------------------------------------

class Scram:
    """One server side of a SCRAM-SHA-256 exchange.

    An unknown user gets a verifier made up from the name and a secret of
    this process: the same salt on every attempt, like a real user's, and a
    proof that can never match.  The exchange has the same shape either way.
    """

    _secret = secrets.token_bytes(32)

    def __init__(self, verifier: Verifier | None, user: str,
                 like: tuple[int, int] = (DEFAULT_ITERATIONS, 16)) -> None:
        """``like``: the iteration count and salt length a made-up verifier
        has, those of most real users (:func:`usual_shape`)."""
        from scramp import ScramMechanism

        if verifier is None:
            def made(label: str) -> bytes:
                return hmac.new(self._secret, f"{label}\x00{user}".encode(), hashlib.sha256).digest()
            iterations, salt_length = like
            salt = (made("salt") + made("salt2"))[:salt_length]
            verifier = Verifier(iterations, salt, made("stored"), made("server"))
        info = (verifier.salt, verifier.stored_key, verifier.server_key, verifier.iterations)
        self._server = ScramMechanism(MECHANISM).make_server(lambda _name: info)

    def first(self, client_first: str) -> str:
        """The server-first message; ValueError for a malformed client-first."""
        from scramp import ScramException

        # PostgreSQL's clients leave the SCRAM user name empty ("n=,r=..."):
        # the user is the startup packet's.  scramp insists on a name, so it
        # reads one in its place, and the AuthMessage that the client's proof
        # signs is then built from the bare message exactly as the client
        # sent it.
        gs2, sep, bare = client_first.partition(",")
        authzid, sep2, bare = bare.partition(",")
        if not (sep and sep2):
            raise ValueError("malformed client-first message")
        named = re.sub(r"^n=,", "n=pellquist,", bare)
        try:
            self._server.set_client_first(f"{gs2},{authzid},{named}")
            self._server.client_first_bare = bare
            return str(self._server.get_server_first())
        except ScramException as e:
            raise ValueError(str(e)) from None

    def final(self, client_final: str) -> str | None:
        """The server-final message, or None when the proof is wrong."""
        from scramp import ScramException

        try:
            self._server.set_client_final(client_final)
            return str(self._server.get_server_final())
        except ScramException:
            return None


def usual_shape(users: Mapping[str, User]) -> tuple[int, int]:
    """The iteration count and salt length most users' verifiers have."""
    from collections import Counter

    shapes = Counter((u.verifier.iterations, len(u.verifier.salt)) for u in users.values())
    return shapes.most_common(1)[0][0] if shapes else (DEFAULT_ITERATIONS, 16)


class FailureLimiter:
    """Failed logins counted per user name and per peer address over a
    sliding window; past ``limit`` in ``window`` seconds, every attempt fails
    whatever its password, until the window has moved on."""

    def __init__(self, limit: int = 5, window: float = 60.0) -> None:
        self.limit = limit
        self.window = window
        self._failures: dict[tuple[str, str], deque[float]] = {}

    def _recent(self, key: tuple[str, str], now: float) -> deque[float]:
        times = self._failures.setdefault(key, deque())
        while times and times[0] <= now - self.window:
            times.popleft()
        return times

    def blocked(self, user: str, peer: str) -> bool:
        now = time.monotonic()
        blocked = any(len(self._recent(k, now)) >= self.limit
                      for k in (("user", user), ("peer", peer)))
        self._prune(now)
        return blocked

    def failed(self, user: str, peer: str) -> None:
        now = time.monotonic()
        for key in (("user", user), ("peer", peer)):
            self._recent(key, now).append(now)

    def _prune(self, now: float) -> None:
        # Names never seen again would otherwise stay forever.
        if len(self._failures) > 10_000:
            for key in [k for k, v in self._failures.items() if not v or v[-1] <= now - self.window]:
                del self._failures[key]
