"""The errors of :func:`pellquist.rewrite`, one class per kind of failure.

Every class derives from :class:`PellquistError`, so ``except
PellquistError`` catches each failure the caller's input can cause, and an
exception of any other class is a fault of pellquist or of sqlglot.

Each class also derives from what ``Session.generateNativeSQL`` raises for
the same failure (``Exception`` for a refusal, ``TableNotFound``,
``ValueError``, ``KeyError``, sqlglot's ``ParseError``), so code written
against the session keeps catching what it caught before.
"""

from __future__ import annotations

from typing import Any

from sqlglot.errors import ParseError, TokenError

from .models import TableNotFound
from .wall.functions import ALLOW_HINT, HINT_MARK

__all__ = [
    "BadCatalogue", "DialectError", "LimitExceeded", "MissingParam", "PellquistError", "Refused",
    "SqlSyntaxError", "SqlTokenError", "UnknownDialect", "UnknownTable", "UnsafeParam",
]


class PellquistError(Exception):
    """A failure caused by the input of a rewrite: the statement, the params,
    the catalogue or the limits.  Report it to whoever supplied that input."""


class Refused(PellquistError):
    """The statement is not a plain read, or reads something the wall does
    not allow.  ``args`` is ``(message, sql)``, as the session gives it.

    ``str()`` and ``message`` say what was refused and why, for the
    statement's author; ``hint``, if not None, is what the application's
    developer could change to allow it (list a function in the catalogue's
    ``allowed_functions``), which the author cannot."""

    @property
    def message(self) -> str:
        text = str(self.args[0]) if self.args else ""
        return text.removesuffix(HINT_MARK + ALLOW_HINT)

    @property
    def hint(self) -> str | None:
        text = str(self.args[0]) if self.args else ""
        return ALLOW_HINT if text.endswith(HINT_MARK + ALLOW_HINT) else None

    def __str__(self) -> str:
        return self.message


class UnknownTable(PellquistError, TableNotFound):
    """The statement names a table that is neither published nor a CTE in
    scope.  ``args`` is ``(key, message)``, as for ``TableNotFound``;
    ``suggestions`` the published names closest to the key, if any."""

    suggestions: tuple[str, ...] = ()

    def __str__(self) -> str:
        text = super().__str__()
        if self.suggestions:
            text += "; did you mean " + " or ".join(map(repr, self.suggestions)) + "?"
        return text


class BadCatalogue(PellquistError, ValueError):
    """A row filter that cannot be filled into one condition, or another
    fault of the catalogue rather than of the statement."""


class MissingParam(PellquistError, KeyError):
    """A row filter names a ``{placeholder}`` that the params do not give.
    ``args[0]`` is the placeholder's name."""

    @property
    def name(self) -> str:
        return str(self.args[0]) if self.args else ""

    def __str__(self) -> str:
        # KeyError's own str() is the repr of the key: say what is missing.
        return f"missing parameter {self.name!r} for a row filter"


class UnsafeParam(PellquistError, TypeError):
    """A params value of a type that could change what a row filter means:
    a plain ``str``, or anything that is not a number, a date, a
    ``SqlString`` or an explicit ``RawSql``."""


class SqlSyntaxError(PellquistError, ParseError, ValueError):
    """SQL that does not parse (``errors`` is sqlglot's list of problems,
    when it gave one), or a dialect sqlglot does not know."""


class SqlTokenError(SqlSyntaxError, TokenError):
    """SQL that does not even split into tokens (an unterminated string,
    say); still a sqlglot ``TokenError`` for code that catches that."""


class UnknownDialect(SqlSyntaxError):
    """A dialect name (or dialect settings) that sqlglot does not know."""

    def __init__(self, message: str, dialect: Any = None) -> None:
        super().__init__(message)
        self.dialect = dialect


class DialectError(PellquistError, ValueError):
    """No dialect was named, by the call or by the catalogue, or the call
    names another dialect than the catalogue's.  ``dialect`` is the call's."""

    def __init__(self, message: str, dialect: Any = None) -> None:
        super().__init__(message)
        self.dialect = dialect


class LimitExceeded(PellquistError, ValueError):
    """The statement is longer or more deeply nested than the rewrite's
    limits allow; the limits are arguments of :func:`pellquist.rewrite`."""
