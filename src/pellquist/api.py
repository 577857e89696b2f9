"""``pellquist.rewrite``: one call per request, typed params, bounded work, typed errors."""

from __future__ import annotations

import datetime
import decimal
import math
import re
from collections.abc import Mapping
from typing import Any

from sqlglot.errors import ParseError, TokenError

from .errors import (
    BadCatalogue, DialectError, LimitExceeded, MissingParam, PellquistError, Refused,
    SqlSyntaxError, SqlTokenError, UnknownDialect, UnknownTable, UnsafeParam,
)
from .models import RawSql, SqlString, TableNotFound

__all__ = ["DEFAULT_MAX_DEPTH", "DEFAULT_MAX_LENGTH", "DEFAULT_MAX_OPERATORS", "nesting_depth",
           "operator_count", "rewrite"]

# 100,000 characters is far beyond a query a person writes or a tool
# generates for one report.  A rewrite (parse, wall, render, read-back) goes
# through roughly 130,000 characters a second and at its peak holds some 400
# bytes per character of a long IN list: under a second and about 50 MB at
# this limit, where a 5 MB query would cost some 45 seconds and over 2 GB.
DEFAULT_MAX_LENGTH = 100_000
# sqlglot parses and renders by recursion: a few hundred nested parentheses
# exhaust Python's default recursion limit of 1000 (about 490 nested derived
# tables do).  Real queries nest a handful of levels; 100 leaves room for
# generated SQL and stays far from the interpreter's limit, in any thread.
DEFAULT_MAX_DEPTH = 100
# A chain of operators is a tree as deep as it is long, which every walk of
# the rewrite goes down: 40,000 terms of 1+1+... fit in the length limit and
# cost seconds, against a fraction of one for an IN list of as many numbers.
# A report's conditions and arithmetic use tens of operators; 5,000 keeps a
# rewrite well under a second.
DEFAULT_MAX_OPERATORS = 5_000

# The slots' own descriptors: read through them, a subclass cannot swap the
# value for something else with a property.
_SQL_STRING_VALUE: Any = vars(SqlString)["value"]
_RAW_SQL_TEXT: Any = vars(RawSql)["sql"]
_TYPES_ACCEPTED = ("int, bool, a finite float or Decimal, datetime.date, datetime.datetime, "
                   "SqlString or RawSql")


class _Literal:
    """A params value already rendered as SQL text for a row filter.

    ``str.format`` calls ``__format__`` for ``{name}``, ``__str__`` for
    ``{name!s}`` and ``__repr__`` for ``{name!r}``: each gives the same text,
    so no field of a filter can render the value any other way.
    """

    __slots__ = ("text",)

    def __init__(self, text: str) -> None:
        self.text = text

    def __format__(self, how: str) -> str:
        if how:
            raise BadCatalogue("row filter placeholders are plain {name} fields; "
                               f"one asks for the format {how!r}")
        return self.text

    def __str__(self) -> str:
        return self.text

    __repr__ = __str__


def _number(text: str) -> str:
    # A negative number pasted after a minus ("x-{n}") would start a "--"
    # comment: the parentheses keep it one operand wherever it lands.
    return f"({text})" if text.startswith("-") else text


def _render(name: str, value: Any) -> str:
    """The SQL text of one params value, or UnsafeParam.

    Each type is rendered by its base class's own method, so a subclass
    that overrides ``__str__`` or ``isoformat`` cannot change the text.
    """
    if isinstance(value, bool):
        return "TRUE" if value else "FALSE"
    if isinstance(value, int):
        try:
            return _number(int.__repr__(value))
        except ValueError as e:  # more digits than int -> str allows
            raise UnsafeParam(f"param {name!r}: {e}") from None
    if isinstance(value, float):
        if not math.isfinite(value):
            raise UnsafeParam(f"param {name!r}: {float.__repr__(value)} is not a finite number")
        return _number(float.__repr__(value))
    if isinstance(value, decimal.Decimal):
        if not decimal.Decimal.is_finite(value):
            raise UnsafeParam(f"param {name!r}: Decimal {decimal.Decimal.__str__(value)!r} "
                              "is not a finite number")
        return _number(decimal.Decimal.__str__(value))
    if isinstance(value, datetime.datetime):
        return _string(name, datetime.datetime.isoformat(value, sep=" "))
    if isinstance(value, datetime.date):
        return _string(name, datetime.date.isoformat(value))
    if isinstance(value, SqlString):
        # Quoted afresh by SqlString itself: the slot could have been
        # reassigned since the value was checked, or a subclass could quote
        # differently.
        return _string(name, _SQL_STRING_VALUE.__get__(value))
    if isinstance(value, RawSql):
        sql = _RAW_SQL_TEXT.__get__(value)
        if not isinstance(sql, str):
            raise UnsafeParam(f"param {name!r}: RawSql holds a {type(sql).__name__}, not a str")
        return sql
    if isinstance(value, str):
        raise UnsafeParam(
            f"param {name!r} is a plain str, which would be pasted into the row filter as SQL "
            "text: wrap it in SqlString(...) for a string value, or in RawSql(...) to paste "
            "SQL text that the application wrote")
    raise UnsafeParam(f"param {name!r}: a {type(value).__qualname__} is not accepted; "
                      f"pass {_TYPES_ACCEPTED}")


def _string(name: str, text: Any) -> str:
    try:
        return str(SqlString(text))
    except (TypeError, ValueError) as e:
        raise UnsafeParam(f"param {name!r}: {e}") from None


def _safe_params(params: Mapping[str, Any] | None) -> dict[str, _Literal]:
    if params is None:
        return {}
    if not isinstance(params, Mapping):
        raise UnsafeParam(f"params: expected a mapping of names to values, "
                          f"got {type(params).__qualname__}")
    safe: dict[str, _Literal] = {}
    for name, value in params.items():
        if not isinstance(name, str):
            raise UnsafeParam(f"params: names must be strings, got {name!r}")
        safe[name] = _Literal(_render(name, value))
    return safe


# What the depth scanner steps over whole: quoted text and comments, in which
# a parenthesis is not one.  A string or identifier without its closing quote,
# and a comment without its end, run to the end of the text.
_SCAN = re.compile(r"""
      '[^']*(?:''[^']*)*'?
    | "[^"]*(?:""[^"]*)*"?
    | `[^`]*(?:``[^`]*)*`?
    | --[^\n]*
    | /\*(?:.*?\*/|.*)
    | (?P<open>[(\[{])
    | (?P<close>[)\]}])
    | (?P<op>[-+*/%<>=!|&^~:@#?]+|\b(?:and|or|not|is|like|ilike|between|in|xor|div|mod)\b)
""", re.VERBOSE | re.DOTALL | re.IGNORECASE)


def nesting_depth(sql: str, stop_above: int | None = None) -> int:
    """The deepest nesting of parentheses, brackets and braces in ``sql``,
    outside string literals, quoted identifiers and comments.

    It reads the text only (no parsing), so it costs a fraction of what
    sqlglot would spend on the same text and cannot recurse.  With
    ``stop_above``, it returns as soon as the depth exceeds that.
    """
    depth = deepest = 0
    for match in _SCAN.finditer(sql):
        kind = match.lastgroup
        if kind == "open":
            depth += 1
            if depth > deepest:
                deepest = depth
                if stop_above is not None and deepest > stop_above:
                    break
        elif kind == "close" and depth:
            depth -= 1
    return deepest


def operator_count(sql: str, stop_above: int | None = None) -> int:
    """How many operators ``sql`` holds, symbols and keyword operators alike
    and each subscript's ``[`` (``x[1][1]...`` is a chain too), outside
    string literals, quoted identifiers and comments: a bound on how long a
    chain of them can be.  With ``stop_above``, it returns as soon as the
    count exceeds that."""
    count = 0
    for match in _SCAN.finditer(sql):
        kind = match.lastgroup
        if kind == "op" or (kind == "open" and match.group() == "["):
            count += 1
            if stop_above is not None and count > stop_above:
                break
    return count


def _limit(name: str, value: int | None) -> None:
    if value is not None and (not isinstance(value, int) or isinstance(value, bool)
                              or value < 1):
        raise ValueError(f"{name}: expected a positive int or None, got {value!r}")


def _check_dialect(dialect: Any) -> None:
    from sqlglot.dialects.dialect import Dialect

    try:
        Dialect.get_or_raise(dialect)
    except ValueError as e:
        message = str(e)
        if message.lower().startswith("unknown dialect"):
            message = "u" + message[1:]
        else:
            message = f"unknown dialect {dialect!r}: {message}"
        raise UnknownDialect(message, dialect) from e


_NAME_ONE = ("name the engine's dialect: rewrite(..., dialect=\"postgres\"), or dialect = "
             "\"postgres\" in the catalogue file (sqlite, duckdb, clickhouse, spark, ...)")


def _catalogue_dialect(catalogue: Any) -> Any:
    try:
        return getattr(catalogue, "dialect", None)
    except Exception:
        # A plain-object catalogue without a readable dialect names none.
        return None


def _dialect_for(catalogue: Any, dialect: Any) -> Any:
    """The dialect a rewrite writes: the caller's, else the catalogue's.

    With neither there is no SQL that every engine reads alike (sqlglot's
    own dialect quotes names as Spark quotes strings, and its OFFSET 0 is
    an error on SQLite), so naming none is an error.  A caller's dialect
    that is not the catalogue's would write SQL for the wrong engine.
    """
    from sqlglot.dialects.dialect import Dialect

    bound = _catalogue_dialect(catalogue)
    if dialect is None or dialect == "":
        if bound is None or bound == "":
            raise DialectError(f"no SQL dialect: {_NAME_ONE}", None)
        dialect = bound
    _check_dialect(dialect)
    if bound is not None and bound != "" and dialect is not bound:
        try:
            same = Dialect.get_or_raise(dialect) == Dialect.get_or_raise(bound)
        except ValueError:
            same = False
        if not same:
            raise DialectError(
                f"the dialect {dialect!r} is not the catalogue's ({bound!r}): the SQL would be "
                "written for another engine than the one the tables live on", dialect)
    return dialect


def rewrite(catalogue: Any, sql: str, params: Mapping[str, Any] | None, *,
            dialect: Any = None, max_length: int | None = DEFAULT_MAX_LENGTH,
            max_depth: int | None = DEFAULT_MAX_DEPTH,
            max_operators: int | None = DEFAULT_MAX_OPERATORS) -> str:
    """The native SQL of ``sql``: every published table read through its
    row filter, filled from ``params``.  The entry point for applications.

    Each call builds its own ``Session`` and drops it on return: nothing is
    shared between calls, requests or threads except ``catalogue``, which
    the rewrite only reads.  That is why this is a function and not an
    object to keep: a session holds one set of params, and a session kept
    and reused could serve one tenant's query with another's params, or be
    refilled by one thread while another rewrites.  A session costs next to
    nothing to build next to the parse, so there is nothing to save.

    ``params`` values are checked by type before anything else is done, and
    each is rendered as SQL text for the filters' ``{name}`` fields:

    * ``int``, and ``bool`` as ``TRUE`` / ``FALSE``;
    * a finite ``float`` or ``decimal.Decimal`` (a negative number is
      written in parentheses);
    * ``datetime.date`` and ``datetime.datetime`` as a quoted ISO string
      literal (``'2024-05-01'``, ``'2024-05-01 13:45:00'``);
    * ``SqlString(text)``: a quoted string literal;
    * ``RawSql(text)``: the text itself, pasted as SQL.  Only for SQL the
      application writes; never for user input.

    A plain ``str`` and any other type raise :class:`UnsafeParam`.

    A statement whose root is a set operation (UNION, INTERSECT, EXCEPT) is
    rewritten as the SELECT that reads it (``SELECT * FROM (...) AS
    _set_operation``, its WITH, ORDER BY, LIMIT and OFFSET outside): the
    session itself takes a SELECT only.

    Limits, checked on the text before sqlglot sees it (``None`` turns one
    off):

    * ``max_length`` (default 100,000 characters): a longer ``sql`` raises
      :class:`LimitExceeded` at once;
    * ``max_depth`` (default 100): parentheses, brackets and braces nested
      deeper, outside quotes and comments, raise :class:`LimitExceeded`.
      Nesting that the scan cannot see and that still exhausts the
      parser's recursion raises it too;
    * ``max_operators`` (default 5,000): more operators (``+``, ``||``,
      ``=``, ``AND``, ``OR``, ...), outside quotes and comments, raise
      :class:`LimitExceeded`: a long chain of them costs seconds to rewrite.

    Errors are the classes of :mod:`pellquist.errors`, each raised from the
    session's own exception and a subclass of its class: :class:`Refused`,
    :class:`UnknownTable`, :class:`BadCatalogue`, :class:`MissingParam`,
    :class:`UnsafeParam`, :class:`SqlSyntaxError` (:class:`SqlTokenError`,
    :class:`UnknownDialect`) and :class:`LimitExceeded`; all are
    :class:`PellquistError`.  Any other exception is a fault of pellquist
    or sqlglot, and is raised unchanged.
    """
    safe = _safe_params(params)
    if not isinstance(sql, str):
        raise TypeError(f"sql: expected a str, got {type(sql).__qualname__}")
    _limit("max_length", max_length)
    _limit("max_depth", max_depth)
    _limit("max_operators", max_operators)
    if max_length is not None and len(sql) > max_length:
        raise LimitExceeded(f"the query is {len(sql):,} characters long; the limit is "
                            f"{max_length:,}")
    if max_depth is not None:
        depth = nesting_depth(sql, stop_above=max_depth)
        if depth > max_depth:
            raise LimitExceeded(f"the query nests parentheses more than {max_depth} deep")
    if max_operators is not None:
        if operator_count(sql, stop_above=max_operators) > max_operators:
            raise LimitExceeded(f"the query holds more than {max_operators:,} operators")
    dialect = _dialect_for(catalogue, dialect)

    from .quist import Session

    try:
        try:
            return Session(catalogue, safe).generateNativeSQL(sql, dialect)
        except Exception as e:
            # The session rewrites a statement whose root is a SELECT; a set
            # operation of them is handed to it as the SELECT that reads it.
            if not (type(e) is Exception and e.args[:1] == (_NOT_A_SELECT,)):
                raise
            # Nothing but semicolons and comments after the statement (a
            # tool's "; -- saved query") is no second statement.
            alone = _without_empty_statements(sql, dialect)
            wrapped = _set_operation_as_select(alone or sql, dialect) or alone
            if wrapped is None:
                raise
            try:
                return Session(catalogue, safe).generateNativeSQL(wrapped, dialect)
            except Exception as inner:
                # A refusal names the caller's statement, not the wrapper.
                if type(inner) is Exception and len(inner.args) == 2:
                    raise Exception(inner.args[0], sql) from None
                raise
    except PellquistError:
        raise  # a filter field that misuses a rendered value (_Literal)
    except TableNotFound as e:
        unknown = UnknownTable(*e.args)
        unknown.suggestions = _close_tables(catalogue, e.args[0] if e.args else "")
        raise unknown from e
    except KeyError as e:
        # str.format names the field it could not fill; any other KeyError
        # is a fault, not a missing param.
        if len(e.args) == 1 and isinstance(e.args[0], str) and e.args[0] not in safe:
            raise MissingParam(e.args[0]) from e
        raise
    except TokenError as e:
        raise SqlTokenError(_syntax_message(e, sql, dialect, params)) from e
    except ParseError as e:
        raise SqlSyntaxError(_syntax_message(e, sql, dialect, params), e.errors) from e
    except RecursionError as e:
        raise LimitExceeded("the query nests too deeply for the parser") from e
    except ValueError as e:
        # The two complaints about a row filter: not one condition, or a
        # subquery with a column that could bind outside it.
        if str(e).startswith("The row filter"):
            raise BadCatalogue(*e.args) from e
        raise
    except Exception as e:
        # The session refuses a statement with a plain Exception(message, sql).
        if type(e) is Exception and len(e.args) == 2:
            raise Refused(*e.args) from e
        raise


# Past this many tables a catalogue is not searched for names like an unknown
# one: the search would cost more than the rewrite.
_SUGGEST_AMONG = 5_000


def _close_tables(catalogue: Any, key: Any) -> tuple[str, ...]:
    """The published names most like ``key``, for an unknown table's message."""
    import difflib

    try:
        tables = catalogue.tables
        if not isinstance(key, str) or len(tables) > _SUGGEST_AMONG:
            return ()
        names = {str(t.pub_name).lower(): str(t.pub_name) for t in tables.values()}
    except Exception:  # a catalogue object that cannot be read so: no suggestion
        return ()
    return tuple(names[n] for n in difflib.get_close_matches(key.lower(), names, n=3, cutoff=0.8))


_NOT_A_SELECT = "As of now, only select statements are supported."
# The derived table a set operation is read from; the query around it names
# nothing but its columns, so the name cannot capture one of the statement's.
_SET_ALIAS = "_set_operation"


def _without_empty_statements(sql: str, dialect: Any) -> str | None:
    """``sql`` up to its first semicolon, when all that follows it is
    semicolons and comments; None otherwise."""
    from sqlglot.dialects.dialect import Dialect
    from sqlglot import TokenType

    try:
        tokens = Dialect.get_or_raise(dialect).tokenize(sql)
    except (TokenError, ValueError, RecursionError):
        return None
    ends = [i for i, t in enumerate(tokens) if t.token_type == TokenType.SEMICOLON]
    if not ends or any(t.token_type != TokenType.SEMICOLON for t in tokens[ends[0]:]):
        return None
    return sql[:tokens[ends[0]].start]


def _set_operation_as_select(sql: str, dialect: Any) -> str | None:
    """``sql``, a set operation (UNION, INTERSECT, EXCEPT) at its root, as
    ``SELECT * FROM (<set operation>) AS _set_operation`` with the
    statement's WITH, ORDER BY, LIMIT and OFFSET moved to the SELECT: the
    same rows in the same order.  None for any other statement."""
    import sqlglot
    from sqlglot import exp

    try:
        tree = sqlglot.parse_one(sql, read=dialect)
    except (ParseError, TokenError, RecursionError):
        return None
    if not isinstance(tree, exp.SetOperation):
        return None
    moved = {key: tree.args.get(key) for key in ("with_", "order", "limit", "offset")}
    for key in moved:
        tree.set(key, None)
    outer = exp.select(exp.Star()).from_(
        exp.Subquery(this=tree, alias=exp.TableAlias(this=exp.to_identifier(_SET_ALIAS))))
    for key, value in moved.items():
        if value is not None:
            outer.set(key, value)
    return outer.sql(dialect=dialect)


_ESCAPES = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")


def _syntax_message(error: Exception, sql: str, dialect: Any,
                    params: Mapping[str, Any] | None) -> str:
    """sqlglot's message, saying so when it is a row filter that does not
    parse.  Only a RawSql value can break a filter's syntax, so the query
    is parsed again on its own only then, on this error path."""
    # sqlglot underlines the place of the error with terminal escapes, which
    # a message shown to an end user or written to a log must not carry.
    message = _ESCAPES.sub("", str(error))
    if params and any(isinstance(v, RawSql) for v in params.values()):
        import sqlglot

        try:
            sqlglot.parse(sql, read=dialect)
        except (ParseError, TokenError, RecursionError):
            return message
        return f"a row filter does not parse with its RawSql params filled in: {message}"
    return message
