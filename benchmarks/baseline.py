"""The comparison baseline: the table rewrite written plainly in Python.

``BaselineSession`` does what ``pellquist.quist.Session`` does, step for
step, on the same sqlglot: parse, refuse anything but a plain SELECT, gather
the CTE aliases and the catalogue's public names, replace every published
table by a filtered, renamed subquery, render with quoted identifiers.  It
exists only so that the benchmarks can print each figure of the compiled
module next to the same work done by ordinary Python code; it is not part of
the package and nothing else imports it.
"""

from __future__ import annotations


from sqlglot import exp, parse_one

from pellquist.models import TableNotFound
from pellquist.wall import Call

ONLY_SELECT = "As of now, only select statements are supported."
DML_DDL = "The SQL contains either DML or DDL"
NO_TABLE = "No such table found."
NO_READ_BACK = "The native SQL does not read back as the same statement"

_BLOCKED = (exp.DML, exp.DDL, exp.Command, exp.Commit, exp.Drop, exp.TruncateTable, exp.Into,
            exp.Lock)
_FILTER_ROOT_KINDS = (exp.Block, exp.Query, exp.DML, exp.DDL, exp.Command, exp.Commit,
                      exp.Drop, exp.TruncateTable)


def _continues_identifier(ch: str) -> bool:
    return ch.isalnum() or ch in "_$"


def _check_filter(table, condition: str, expr: exp.Expression) -> None:
    bad = (not isinstance(expr, exp.Condition) or isinstance(expr, _FILTER_ROOT_KINDS)
           or expr.find(*_BLOCKED) is not None)
    if bad:
        raise ValueError(f"The row filter of table {table.pub_name!r} does not parse as a "
                         f"single condition: {condition!r}")


class BaselineSession:
    """``Session(catalogue, params)`` with ``generateNativeSQL(sql, dialect)``."""

    def __init__(self, db, params) -> None:
        self.database = db
        self.params = params

    @staticmethod
    def is_type(tree: exp.Expression, _type) -> bool:
        return len(list(tree.find_all(_type))) > 0

    def generateNativeSQL(self, aSql: str, dialect=None) -> str:  # noqa: N802 - public name
        tree = parse_one(aSql, dialect=dialect) if dialect else parse_one(aSql)
        if type(tree) != exp.Select:  # noqa: E721 - the exact class, not a subclass
            raise Exception(ONLY_SELECT, aSql)
        for kind in _BLOCKED:
            if BaselineSession.is_type(tree, kind):
                raise Exception(DML_DDL, aSql)

        cte_names = set()
        for cte in tree.ctes:
            cte_names.add(cte.alias)

        # A models.Catalogue holds its lookup map, built once; the extension
        # uses it, and so does the baseline, so that both do the same work.
        tbl_map = getattr(self.database, "_by_name", None)
        if tbl_map is None:
            tbl_map = {}
            for tbl in self.database.tables.values():
                tbl_map[tbl.pub_name.lower()] = tbl

        params = self.params
        # The same wall as the compiled module's, so that both do the same work.
        call = Call(self.database, dialect, aSql, list(_BLOCKED))
        cte_names |= call.check(tree)

        def transformer(node):
            if not isinstance(node, exp.Table):
                if isinstance(node, exp.TableFromRows):
                    raise TableNotFound(node.sql().lower(), NO_TABLE)
                if isinstance(node, exp.Column) and node.db:
                    return call.requalify(node, tbl_map)
                return node
            if not isinstance(node.this, exp.Identifier):
                return node
            name = node.name
            if (name in cte_names and not node.catalog and not node.db
                    and isinstance(node.this, exp.Identifier) and call.is_cte(node)):
                return node
            parts = []
            if node.catalog:
                parts.append(node.catalog.lower())
            if node.db:
                parts.append(node.db.lower())
            parts.append(name.lower())
            key = ".".join(parts)
            if key not in tbl_map:
                raise TableNotFound(key, NO_TABLE)
            table = tbl_map[key]

            if node.alias == "":
                alias = call.default_alias(str(table.pub_name))
            else:
                alias = node.alias

            projections = [exp.alias_(exp.column(internal), column.pub_name)
                           for internal, column in table.columns.items()]
            select = exp.select(*projections).from_(call.internal_name(table.name))

            if table.filters:
                condition = table.filters.strip().format(**dict(params))
                if condition.lower().startswith("where") and not (
                        len(condition) > 5 and _continues_identifier(condition[5])):
                    condition = condition[5:].strip()
                expr = parse_one(condition, read=dialect)
                _check_filter(table, condition, expr)
                call.bind_filter(expr, select)
                select = call.fence(node, select.where(expr))

            return call.carry(node, exp.Subquery(
                this=select,
                alias=exp.TableAlias(this=exp.Identifier(this=alias, quoted=True)),
            ), transformer)

        new_tree = tree.transform(transformer)
        native = new_tree.sql(dialect=dialect, identify=True)
        try:
            back = parse_one(native, dialect=dialect) if dialect else parse_one(native)
        except Exception:  # noqa: BLE001 - refused like a mismatch
            raise Exception(NO_READ_BACK, aSql) from None
        call.check_native(new_tree, native, back)
        return native
