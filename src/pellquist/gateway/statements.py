"""What a client's statement is, and where it may go.

Every statement is one of:

* housekeeping the gateway answers itself (transactions, SET / SHOW,
  cursors, a few functions such as ``version()``), from an allow-list;
* a catalogue query (it names ``pg_catalog``, ``information_schema`` or a
  ``pg_`` relation), answered by the shadow catalogue, which holds nothing
  but the published schema;
* anything else, which goes through ``pellquist.rewrite``: what the rewrite
  refuses is refused, and only the SQL it writes reaches the data backend.

Parameters (``$1``) are never handed to the rewrite as such: the rewrite
reads its dialect's SQL, and not every dialect reads ``$1`` as a parameter
(SQLite's reads a column named ``$1``, which it may even take for a string).
Each one is replaced by a string literal holding a random token before the
rewrite; the rewrite judges the query with that literal in the parameter's
place, and in what it writes, each literal is turned back into the
backend's own placeholder.  The token is made after the client's text is
read, so no client text can hold it; a rewrite that lost or mangled a
literal is refused, not guessed at.
"""

from __future__ import annotations

import re
import secrets
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from .errors import GatewayError, from_rewrite
from .wire import Field

# Names whose mention sends a statement to the shadow catalogue.
_CATALOGUE_NAME = re.compile(r"(pg_catalog|information_schema|pg_\w+|duckdb_\w+)\Z", re.I)
_LOCAL_FUNCTION = re.compile(
    r"\s*select\s+(?:pg_catalog\s*\.\s*)?(version|current_schema|pg_backend_pid|current_user|"
    r"session_user|current_database)\s*(\(\s*\))?\s*;?\s*\Z", re.I)
_SET = re.compile(r"\s*set\s+(?:(session|local)\s+)?(?:(time\s+zone)|([\w.]+)\s*(?:=|\bto\b))"
                  r"\s*(.*?)\s*;?\s*\Z", re.I | re.S)
_SET_OTHER = re.compile(r"\s*set\s+(session\s+characteristics|transaction|constraints|role|"
                        r"session\s+authorization)\b", re.I)
_RESET = re.compile(r"\s*reset\s+(all|[\w.]+)\s*;?\s*\Z", re.I)
_SHOW = re.compile(r"\s*show\s+(all|time\s+zone|transaction\s+isolation\s+level|[\w.]+)\s*;?\s*\Z",
                   re.I)
_DISCARD = re.compile(r"\s*discard\s+(all|plans|sequences|temp|temporary)\s*;?\s*\Z", re.I)
_DEALLOCATE = re.compile(r"\s*deallocate\s+(?:prepare\s+)?(all|\"(?:[^\"]|\"\")+\"|\w+)\s*;?\s*\Z",
                         re.I)
_DECLARE = re.compile(r"\s*declare\s+(\"(?:[^\"]|\"\")+\"|\w+)\s+((?:binary\s+|insensitive\s+|"
                      r"asensitive\s+|no\s+scroll\s+|scroll\s+)*)cursor\s+"
                      r"(?:(with|without)\s+hold\s+)?for\s+(.*)\Z", re.I | re.S)
_FETCH = re.compile(r"\s*(fetch|move)\s+(?:(next|forward|forward\s+all|all|forward\s+\d+|\d+)"
                    r"\s+)?(?:(?:from|in)\s+)?(\"(?:[^\"]|\"\")+\"|\w+)\s*;?\s*\Z", re.I)
_CLOSE = re.compile(r"\s*close\s+(all|\"(?:[^\"]|\"\")+\"|\w+)\s*;?\s*\Z", re.I)
_TRANSACTION = {
    "begin": "BEGIN", "start": "BEGIN", "commit": "COMMIT", "end": "COMMIT",
    "rollback": "ROLLBACK", "abort": "ROLLBACK", "savepoint": "SAVEPOINT",
    "release": "RELEASE", "prepare": None,
}


def unquote(name: str) -> str:
    if name.startswith('"'):
        return name[1:-1].replace('""', '"')
    return name.lower()


@dataclass
class Plan:
    """One statement, analysed.  ``kind`` says who answers it:

    * ``wall``: ``sql`` is the rewrite, for the data backend;
    * ``shadow``: ``sql`` is a catalogue query for the shadow;
    * ``empty``; ``transaction`` (``verb``: BEGIN, COMMIT, ...);
      ``set`` / ``reset`` / ``show`` (``name``, ``value``); ``function``
      (``name``); ``discard``; ``deallocate`` (``name``);
      ``declare`` (``name``, ``inner``), ``fetch`` / ``move`` (``name``,
      ``count``, None for all), ``close`` (``name``).
    """

    kind: str
    sql: str = ""
    nparams: int = 0
    verb: str = ""
    name: str = ""
    value: str = ""
    count: int | None = None
    inner: Plan | None = None
    extra: dict[str, Any] = field(default_factory=dict)
    # What the engine said of the statement (parameter types, columns), by
    # the parameter types the client gave: plans are kept by the rewrite
    # cache, so a statement prepared again is not described again.
    descriptions: dict[tuple[int, ...], tuple[list[int], list[Field]]] = field(
        default_factory=dict, repr=False, compare=False)

    @property
    def returns_rows(self) -> bool:
        return self.kind in ("wall", "shadow", "show", "function", "fetch")


def split(sql: str, dialect: str) -> list[str]:
    """The statements of a simple query, split at its semicolons (not those
    inside strings, quoted names or comments); empty ones dropped."""
    from sqlglot import TokenType
    from sqlglot.dialects.dialect import Dialect
    from sqlglot.errors import TokenError

    try:
        tokens = Dialect.get_or_raise(dialect).tokenize(sql)
    except (TokenError, ValueError, RecursionError):
        return [sql] if sql.strip() else []
    out: list[str] = []
    start = 0
    for t in tokens:
        if t.token_type == TokenType.SEMICOLON:
            out.append(sql[start:t.start])
            start = t.end + 1
    out.append(sql[start:])
    return [s for s in out if s.strip() and not _only_comments(s, dialect)]


def _only_comments(sql: str, dialect: str) -> bool:
    from sqlglot.dialects.dialect import Dialect
    from sqlglot.errors import TokenError

    try:
        return not Dialect.get_or_raise(dialect).tokenize(sql)
    except (TokenError, ValueError, RecursionError):
        return False


class Analyzer:
    """Turns client statements into plans for one tenant's params."""

    def __init__(self, catalogue: Any, params: Mapping[str, Any], dialect: str,
                 placeholder: Any) -> None:
        self.catalogue = catalogue
        self.params = params
        self.dialect = dialect
        self.placeholder = placeholder

    def analyze(self, sql: str, extended: bool) -> Plan:
        if not sql.strip() or _only_comments(sql, self.dialect):
            return Plan("empty")
        first = sql.split(None, 1)[0].lower().rstrip(";")
        if first in _TRANSACTION:
            return self._transaction(sql, first)
        if first == "set":
            return self._set(sql)
        if first == "reset":
            m = _RESET.match(sql)
            if not m:
                raise GatewayError("42601", "syntax error in RESET")
            return Plan("reset", name=m.group(1).lower())
        if first == "show":
            m = _SHOW.match(sql)
            if not m:
                raise GatewayError("42601", "syntax error in SHOW")
            return Plan("show", name=" ".join(m.group(1).lower().split()))
        if first == "discard":
            if not _DISCARD.match(sql):
                raise GatewayError("42601", "syntax error in DISCARD")
            return Plan("discard")
        if first == "deallocate":
            m = _DEALLOCATE.match(sql)
            if not m:
                raise GatewayError("42601", "syntax error in DEALLOCATE")
            return Plan("deallocate", name=unquote(m.group(1)) if m.group(1).lower() != "all"
                        else "")
        if first == "declare":
            m = _DECLARE.match(sql)
            if not m:
                raise GatewayError("42601", "syntax error in DECLARE")
            inner = self.analyze(m.group(4), extended)
            if inner.kind not in ("wall", "shadow"):
                raise GatewayError("42601", "a cursor is declared for a SELECT")
            return Plan("declare", name=unquote(m.group(1)), inner=inner, nparams=inner.nparams,
                        extra={"binary": "binary" in m.group(2).lower(),
                               "hold": (m.group(3) or "").lower() == "with"})
        if first in ("fetch", "move"):
            m = _FETCH.match(sql)
            if not m:
                raise GatewayError("42601", f"syntax error in {first.upper()}")
            how = " ".join((m.group(2) or "next").lower().split())
            count: int | None = 1
            if how in ("all", "forward all"):
                count = None
            elif how not in ("next", "forward"):
                count = int(how.split()[-1])
            return Plan(first, name=unquote(m.group(3)), count=count)
        if first == "close":
            m = _CLOSE.match(sql)
            if not m:
                raise GatewayError("42601", "syntax error in CLOSE")
            return Plan("close", name=unquote(m.group(1)) if m.group(1).lower() != "all" else "")
        m = _LOCAL_FUNCTION.match(sql)
        if m:
            return Plan("function", name=m.group(1).lower())
        tokens = self._tokens(sql)
        spans = self._placeholders(tokens, sql)
        if spans and not extended:
            raise GatewayError("42P02", f"there is no parameter ${spans[0][2]}")
        if any(_CATALOGUE_NAME.match(t.text) for t in tokens if t.token_type.name != "STRING"):
            return Plan("shadow", sql=sql, nparams=max((n for _, _, n in spans), default=0))
        return self._wall(sql, spans)

    def _tokens(self, sql: str) -> list[Any]:
        from sqlglot.dialects.dialect import Dialect
        from sqlglot.errors import TokenError

        try:
            return list(Dialect.get_or_raise(self.dialect).tokenize(sql))
        except (TokenError, ValueError):
            raise GatewayError("42601", "syntax error: the query does not split into tokens") \
                from None
        except RecursionError:
            raise GatewayError("54000", "query over the limit: it nests too deeply") from None

    @staticmethod
    def _placeholders(tokens: list[Any], sql: str) -> list[tuple[int, int, int]]:
        """(start, end, number) of each ``$n`` in the text."""
        spans: list[tuple[int, int, int]] = []
        for i, t in enumerate(tokens):
            kind = t.token_type.name
            if kind == "PLACEHOLDER":
                raise GatewayError("42601", "parameters are written $1, $2, ...")
            if kind == "PARAMETER" and i + 1 < len(tokens):
                nxt = tokens[i + 1]
                if nxt.token_type.name == "NUMBER" and nxt.start == t.end + 1 and nxt.text.isdigit():
                    spans.append((t.start, nxt.end, int(nxt.text)))
            elif kind == "VAR" and re.fullmatch(r"\$\d+", t.text):
                spans.append((t.start, t.end, int(t.text[1:])))
        for _, _, n in spans:
            if n < 1 or n > 65535:
                raise GatewayError("42P02", f"there is no parameter ${n}")
        return spans

    def _wall(self, sql: str, spans: list[tuple[int, int, int]]) -> Plan:
        from ..api import rewrite
        from ..errors import PellquistError

        token = secrets.token_hex(16)
        text = sql
        for start, end, n in sorted(spans, reverse=True):
            text = text[:start] + f"'pellquist_param_{token}_{n}'" + text[end + 1:]
        try:
            native = rewrite(self.catalogue, text, self.params, dialect=self.dialect)
        except PellquistError as e:
            raise from_rewrite(e) from None
        numbers = sorted({n for _, _, n in spans})
        for n in numbers:
            literal = f"'pellquist_param_{token}_{n}'"
            if literal not in native:
                raise GatewayError("0A000", f"parameter ${n} is not supported where it is used")
            native = native.replace(literal, self.placeholder(n))
        if token in native:
            raise GatewayError("0A000", "a parameter is not supported where it is used")
        return Plan("wall", sql=native, nparams=max(numbers, default=0))

    def _transaction(self, sql: str, first: str) -> Plan:
        words = sql.lower().replace(";", " ").split()
        verb = _TRANSACTION[first]
        if verb is None:
            if len(words) > 1 and words[1] == "transaction":
                raise GatewayError("0A000", "prepared transactions are not supported")
            raise GatewayError("0A000", "PREPARE is not supported; use the protocol's prepared "
                               "statements (your driver's prepare)")
        if verb == "ROLLBACK" and len(words) > 1 and words[1] == "to":
            return Plan("transaction", verb="ROLLBACK TO")
        if verb == "RELEASE":
            return Plan("transaction", verb="RELEASE")
        if first == "start" and (len(words) < 2 or words[1] != "transaction"):
            raise GatewayError("42601", "syntax error at START")
        return Plan("transaction", verb=verb)

    def _set(self, sql: str) -> Plan:
        if _SET_OTHER.match(sql):
            words = sql.lower().split()
            if words[1] in ("role", "session") and words[1:3] != ["session", "characteristics"]:
                raise GatewayError("42501", "permission denied to change the role")
            return Plan("set", name="", value="")
        m = _SET.match(sql)
        if not m:
            raise GatewayError("42601", "syntax error in SET")
        name = "timezone" if m.group(2) else m.group(3).lower()
        value = m.group(4).strip()
        if value.lower() == "default":
            return Plan("reset", name=name)
        parts = [p.strip() for p in value.split(",")]
        value = ", ".join(p[1:-1].replace("''", "'") if len(p) > 1 and p[0] == p[-1] == "'"
                          else p for p in parts)
        return Plan("set", name=name, value=value, extra={"local": (m.group(1) or "").lower()
                                                          == "local"})
