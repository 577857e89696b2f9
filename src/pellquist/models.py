"""Catalogue objects read by :class:`pellquist.quist.Session`.

A catalogue publishes tables under public names.  Each published table maps
to an internal table, renames its columns and may carry a row filter: a SQL
condition with ``{placeholders}`` that are filled from the session's params.

The rewriting core reads only these attributes, so any objects that offer
them work as well:

* catalogue: ``tables``, a mapping whose values are tables (keys are ignored);
* table: ``pub_name``, ``name``, ``columns`` (internal name -> column) and
  ``filters`` (a condition string, or a false value for no filter);
* column: ``pub_name``.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

__all__ = ["Catalogue", "Column", "Table", "TableNotFound"]


class TableNotFound(LookupError):
    """A query names a table that is neither published nor a CTE of the query.

    ``args`` is ``(key, message)``: the lower-cased, dotted name that was
    looked up, and a fixed message.
    """

    def __init__(self, key: str, message: str = "No such table found.") -> None:
        super().__init__(key, message)

    @property
    def key(self) -> str:
        return self.args[0]

    def __str__(self) -> str:
        if len(self.args) == 2:
            key, message = self.args
            return f"{str(message).rstrip('.')}: {key!r}"
        return super().__str__()


def _expect(ok: bool, owner: str, field_name: str, expected: str, value: Any) -> None:
    if not ok:
        raise TypeError(f"{owner}.{field_name}: expected {expected}, got {type(value).__name__}")


@dataclass(frozen=True)
class Column:
    """A published column: ``pub_name`` is the name queries use."""

    pub_name: str

    def __post_init__(self) -> None:
        _expect(isinstance(self.pub_name, str), "Column", "pub_name", "a string", self.pub_name)
        if not self.pub_name:
            raise ValueError("Column.pub_name: must not be empty")


def _is_sql_expression(value: object) -> bool:
    try:
        from sqlglot import exp
    except ImportError:  # pragma: no cover - sqlglot is a hard dependency
        return False
    return isinstance(value, exp.Expression)


@dataclass(frozen=True)
class Table:
    """A published table.

    ``pub_name`` is the (possibly dotted) name queries use, ``name`` the
    internal table (a string such as ``"ord_t"`` or ``"app.ord_t"``, or a
    sqlglot expression), ``columns`` maps internal column names to
    :class:`Column` objects (plain strings are accepted as public names), and
    ``filters`` is the row filter, e.g. ``"tenant_id = {tenant}"``, or None.
    """

    pub_name: str
    name: Any
    columns: Mapping[str, Column] = field(default_factory=dict)
    filters: str | None = None

    def __post_init__(self) -> None:
        _expect(isinstance(self.pub_name, str), "Table", "pub_name", "a string", self.pub_name)
        if not self.pub_name:
            raise ValueError("Table.pub_name: must not be empty")
        _expect(
            isinstance(self.name, str) or _is_sql_expression(self.name),
            "Table", "name", "a string or a sqlglot expression", self.name,
        )
        if isinstance(self.name, str) and not self.name:
            raise ValueError(f"Table.name: must not be empty (table {self.pub_name!r})")
        _expect(isinstance(self.columns, Mapping), "Table", "columns", "a mapping", self.columns)
        columns: dict[str, Column] = {}
        for internal, column in self.columns.items():
            if not isinstance(internal, str) or not internal:
                raise TypeError(
                    f"Table.columns: keys must be non-empty strings, got {internal!r} "
                    f"(table {self.pub_name!r})"
                )
            if isinstance(column, str):
                column = Column(column)
            if not isinstance(column, Column):
                raise TypeError(
                    f"Table.columns[{internal!r}]: expected a Column or a string, "
                    f"got {type(column).__name__} (table {self.pub_name!r})"
                )
            columns[internal] = column
        object.__setattr__(self, "columns", columns)
        _expect(
            self.filters is None or isinstance(self.filters, str),
            "Table", "filters", "a string or None", self.filters,
        )


@dataclass(frozen=True)
class Catalogue:
    """The published schema: ``tables`` maps any key to a :class:`Table`.

    A sequence of tables is accepted too and keyed by public name.
    """

    tables: Mapping[Any, Table] = field(default_factory=dict)

    def __post_init__(self) -> None:
        tables = self.tables
        if isinstance(tables, (list, tuple)):
            tables = {getattr(t, "pub_name", i): t for i, t in enumerate(tables)}
        _expect(isinstance(tables, Mapping), "Catalogue", "tables", "a mapping or a list", tables)
        checked: dict[Any, Table] = {}
        for key, table in tables.items():
            if not isinstance(table, Table):
                raise TypeError(
                    f"Catalogue.tables[{key!r}]: expected a Table, got {type(table).__name__}"
                )
            checked[key] = table
        object.__setattr__(self, "tables", checked)
