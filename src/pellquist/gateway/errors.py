"""What a client is told when something fails, and nothing more.

A database's own error message can quote a value of any row it read (an
invalid cast names the text it could not cast), name an internal table, a
column or a constraint, and carry the query it ran, which is the rewrite and
holds the row filter.  None of that may reach the client: a backend error is
passed on as its SQLSTATE and a fixed sentence for its class.
"""

from __future__ import annotations

from typing import Any


class GatewayError(Exception):
    """An error to send to the client as an ErrorResponse.

    ``fatal`` ends the connection after it is sent."""

    def __init__(self, sqlstate: str, message: str, *, fatal: bool = False) -> None:
        super().__init__(message)
        self.sqlstate = sqlstate
        self.message = message
        self.fatal = fatal


# Fixed sentences by SQLSTATE: none of them holds anything from the query, the
# rows or the schema.
_EXACT = {
    "22012": "division by zero",
    "57014": "canceling statement due to user request",
    "22003": "numeric value out of range",
    "22001": "value too long for type",
    "22007": "invalid datetime format",
    "22008": "datetime field value out of range",
    "22P02": "invalid input syntax for a value of the query",
    "42883": "a function or operator does not exist for the given argument types",
    "42804": "datatype mismatch in the query",
    "42P18": "could not determine the data type of a parameter",
    "42P08": "inconsistent types deduced for a parameter",
    "42703": "a column the query names does not exist",
    "42601": "syntax error in the query",
    "08P01": "protocol violation",
    "53200": "out of memory",
    "54000": "program limit exceeded",
    "25006": "cannot execute this statement in a read-only transaction",
}
_BY_CLASS = {
    "22": "the query failed on a value (data exception)",
    "42": "the database could not run the query (syntax error or access rule violation)",
    "53": "the database ran out of resources",
    "54": "the query exceeds a limit of the database",
    "57": "the query was stopped by the database",
    "08": "the database connection failed",
    "40": "the transaction was rolled back by the database",
    "0A": "feature not supported by the database",
}


# Messages of PostgreSQL's that are fixed text, and so may be passed on as
# they are: they tell a timeout from a cancel, which the SQLSTATE does not.
_FIXED = frozenset({
    "canceling statement due to statement timeout",
    "canceling statement due to user request",
    "division by zero",
})


def scrubbed(sqlstate: str | None, message: str | None = None) -> GatewayError:
    """A backend failure as the client may see it: its SQLSTATE, and a
    sentence chosen by the SQLSTATE alone (or the backend's own, when it is
    one of a few fixed texts)."""
    code = sqlstate if sqlstate and len(sqlstate) == 5 and sqlstate.isalnum() else "XX000"
    if message in _FIXED:
        return GatewayError(code, str(message))
    text = _EXACT.get(code) or _BY_CLASS.get(code[:2]) or "the database failed to run the query"
    return GatewayError(code, text)


def statement_timeout() -> GatewayError:
    return GatewayError("57014", "canceling statement due to statement timeout")


def from_rewrite(error: Exception) -> GatewayError:
    """A refusal of ``pellquist.rewrite`` in the words its author may read.

    A refusal quotes the client's own statement and names the published
    tables only, so its message is passed on; a failure of the gateway's
    configuration (params, catalogue, dialect) is not the client's to see.
    """
    from .. import errors

    if isinstance(error, errors.UnknownTable):
        return GatewayError("42P01", f"relation {_key(error.args)} does not exist" + (
            "; did you mean " + " or ".join(map(repr, error.suggestions)) + "?"
            if error.suggestions else ""))
    if isinstance(error, errors.SqlSyntaxError):
        first = (str(error).strip().splitlines() or ["syntax error"])[0]
        return GatewayError("42601", f"syntax error: {first}")
    if isinstance(error, errors.LimitExceeded):
        return GatewayError("54000", f"query over the limit: {error}")
    if isinstance(error, errors.Refused):
        return GatewayError("42501", f"query refused: {error.message}")
    return GatewayError("XX000", "the gateway cannot serve this query (configuration error)")


def _key(args: tuple[Any, ...]) -> str:
    return f'"{args[0]}"' if args and isinstance(args[0], str) else "(unknown)"
