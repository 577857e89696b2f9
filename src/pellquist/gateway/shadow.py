"""The shadow catalogue: what catalogue queries see instead of the database.

Tools learn the schema from ``pg_catalog`` and ``information_schema``.  Run
on the data backend, those queries would list the internal tables, their
real columns and every other object.  They run instead on an in-memory
DuckDB that holds the published tables, empty, under their public names with
the catalogue's column types: whatever such a query reads, there is nothing
but the published schema to find, and no row of any tenant.  DuckDB answers
much of ``pg_catalog`` itself, so the answers come from a real engine.

The shadow takes single SELECT statements only, judged by DuckDB's own
parser, cannot reach files or the network, and its settings are locked: no
client can change it for another.
"""

from __future__ import annotations

import re
from typing import Any

from ..models import Catalogue
from . import values
from .backends import DuckDBBackend
from .errors import GatewayError
from .wire import Field

# How psql and drivers spell PostgreSQL-only syntax that DuckDB reads
# otherwise: OPERATOR(pg_catalog.~), COLLATE pg_catalog.default, functions
# and casts qualified with pg_catalog, casts to the reg* types (read here as
# text: the shadow's objects have no names to look up that way).
_OPERATOR = re.compile(r"OPERATOR\s*\(\s*pg_catalog\s*\.\s*([~!<>=*]+)\s*\)", re.I)
_COLLATE = re.compile(r"\s+COLLATE\s+pg_catalog\s*\.\s*\"?default\"?", re.I)
_QUALIFIED_CALL = re.compile(r"\bpg_catalog\s*\.\s*(?=[a-z_][a-z0-9_]*\s*\()", re.I)
_REG_CAST = re.compile(r"::\s*(?:pg_catalog\s*\.\s*)?reg(?:class|type|namespace|proc|role|"
                       r"oper|procedure)\b", re.I)
_REG_CAST_AS = re.compile(r"\bAS\s+(?:pg_catalog\s*\.\s*)?reg(?:class|type|namespace|proc|role|"
                          r"oper|procedure)\s*\)", re.I)
_FORMAT_TYPE = re.compile(r"(?<![\w.])format_type\s*\(", re.I)
# SQLAlchemy builds identity options with json_build_object, DuckDB's json_object.
_JSON_BUILD = re.compile(r"\bjson_build_object\s*\(", re.I)
_QUALIFIED_CAST = re.compile(r"::\s*pg_catalog\s*\.\s*", re.I)
# information_schema's helper functions, which pgjdbc calls by their
# qualified names; the overlay defines them.
_INFORMATION_CALL = re.compile(r"\binformation_schema\s*\.\s*(_pg_expandarray)\s*\(", re.I)

# The schema that completes DuckDB's pg_catalog with what PostgreSQL's
# clients read and DuckDB lacks.  Its own objects are hidden from the views
# that would list them.
OVERLAY = "pellquist_catalog"
PG_CATALOG_OID = 11
_HIDE_SCHEMA = (f"(SELECT oid FROM pg_catalog.pg_namespace WHERE nspname = '{OVERLAY}')")
_OVERLAY_VIEWS = {
    "pg_class": "SELECT *, false AS relforcerowsecurity FROM pg_catalog.pg_class "
                f"WHERE relnamespace NOT IN {_HIDE_SCHEMA}",
    # DuckDB's own default schema, main, is listed only when a published
    # table lives there (see Shadow); pg_catalog is listed, as pg_type's
    # rows live there.
    "pg_namespace": "SELECT * FROM pg_catalog.pg_namespace "
                    f"WHERE nspname NOT IN ('{OVERLAY}', {{hidden}}) UNION ALL "
                    f"SELECT {PG_CATALOG_OID}, 'pg_catalog', 10, NULL",
    # Only the types PostgreSQL has (DuckDB's own have no oid), none of
    # them a row type.
    "pg_type": f"SELECT * REPLACE (CAST({PG_CATALOG_OID} AS BIGINT) AS typnamespace, "
               "CAST(coalesce(typrelid, 0) AS BIGINT) AS typrelid) FROM pg_catalog.pg_type "
               "WHERE oid IS NOT NULL",
    "pg_attribute": "SELECT * FROM pg_catalog.pg_attribute WHERE attrelid NOT IN "
                    f"(SELECT oid FROM pg_catalog.pg_class WHERE relnamespace IN {_HIDE_SCHEMA})",
    "pg_roles": "SELECT CAST(10 AS BIGINT) AS oid, 'pellquist' AS rolname, false AS rolsuper",
    "pg_policy": "SELECT NULL::VARCHAR AS polname, NULL::BOOLEAN AS polpermissive, "
                 "NULL::BIGINT[] AS polroles, NULL::VARCHAR AS polqual, "
                 "NULL::VARCHAR AS polwithcheck, NULL::VARCHAR AS polcmd, "
                 "NULL::BIGINT AS polrelid WHERE false",
    "pg_statistic_ext": "SELECT NULL::BIGINT AS oid, NULL::BIGINT AS stxrelid, "
                        "NULL::BIGINT AS stxnamespace, NULL::VARCHAR AS stxname, "
                        "NULL::VARCHAR[] AS stxkind, NULL::INTEGER AS stxstattarget WHERE false",
    "pg_publication": "SELECT NULL::BIGINT AS oid, NULL::VARCHAR AS pubname, "
                      "NULL::BOOLEAN AS puballtables WHERE false",
    "pg_publication_namespace": "SELECT NULL::BIGINT AS pnpubid, NULL::BIGINT AS pnnspid "
                                "WHERE false",
    "pg_publication_rel": "SELECT NULL::BIGINT AS prpubid, NULL::BIGINT AS prrelid, "
                          "NULL::VARCHAR AS prqual, NULL::SMALLINT[] AS prattrs WHERE false",
    "pg_index": "SELECT *, false AS indnullsnotdistinct FROM pg_catalog.pg_index",
    "pg_opclass": "SELECT NULL::BIGINT AS oid, NULL::BIGINT AS opcmethod, NULL::VARCHAR AS opcname, "
                  "NULL::BIGINT AS opcnamespace, NULL::BIGINT AS opcowner, "
                  "NULL::BIGINT AS opcfamily, NULL::BIGINT AS opcintype, "
                  "NULL::BOOLEAN AS opcdefault, NULL::BIGINT AS opckeytype WHERE false",
    "pg_inherits": "SELECT NULL::BIGINT AS inhrelid, NULL::BIGINT AS inhparent, "
                   "NULL::INTEGER AS inhseqno, NULL::BOOLEAN AS inhdetachpending WHERE false",
    "pg_trigger": "SELECT NULL::BIGINT AS oid, NULL::BIGINT AS tgrelid, NULL::VARCHAR AS tgname, "
                  "NULL::BOOLEAN AS tgisinternal, NULL::VARCHAR AS tgenabled WHERE false",
    "information_schema_tables": "SELECT * FROM information_schema.tables "
                                 f"WHERE table_schema <> '{OVERLAY}'",
    "information_schema_columns": "SELECT * FROM information_schema.columns "
                                  f"WHERE table_schema <> '{OVERLAY}'",
    "information_schema_schemata": "SELECT * FROM information_schema.schemata "
                                   f"WHERE schema_name <> '{OVERLAY}'",
}
_CATALOG_NAME = re.compile(
    r"(?<![\w\".])(?:pg_catalog\s*\.\s*)?(" + "|".join(
        n for n in _OVERLAY_VIEWS if n.startswith("pg_")) + r")\b", re.I)
_INFORMATION_NAME = re.compile(r"\binformation_schema\s*\.\s*(tables|columns|schemata)\b", re.I)

# Functions psql calls that DuckDB does not define, or defines otherwise.
_MACROS = [
    "CREATE MACRO pg_get_userbyid(role_oid) AS 'pellquist'",
    "CREATE MACRO pg_get_expr(node, relation) AS NULL::VARCHAR, "
    "(node, relation, pretty) AS NULL::VARCHAR",
    "CREATE MACRO pg_relation_is_publishable(rel) AS false",
    "CREATE MACRO pg_get_statisticsobjdef_columns(stat) AS NULL::VARCHAR",
    "CREATE MACRO array_upper(arr, dimension) AS len(arr)",
    "CREATE MACRO pg_get_serial_sequence(rel, col) AS NULL::VARCHAR",
    "CREATE MACRO pg_get_indexdef(index_oid) AS NULL::VARCHAR, "
    "(index_oid, column_no, pretty) AS NULL::VARCHAR",
]
# Those that read the overlay or live in it, made after it.
_OVERLAY_MACROS = [
    # A set-returning function in PostgreSQL; read here as its first row,
    # which is all a query over the (empty) pg_index can reach.
    f"CREATE MACRO {OVERLAY}._pg_expandarray(arr) AS {{'x': arr[1], 'n': 1}}",
    # Type names as PostgreSQL's format_type writes them (DuckDB's writes
    # int4, varchar, ...), which SQLAlchemy maps back to its types.
    f"CREATE MACRO {OVERLAY}.format_type(type_oid, typemod) AS CASE type_oid "
    "WHEN 16 THEN 'boolean' WHEN 20 THEN 'bigint' WHEN 21 THEN 'smallint' "
    "WHEN 23 THEN 'integer' WHEN 700 THEN 'real' WHEN 701 THEN 'double precision' "
    "WHEN 1043 THEN 'character varying' WHEN 1083 THEN 'time without time zone' "
    "WHEN 1114 THEN 'timestamp without time zone' WHEN 1184 THEN 'timestamp with time zone' "
    "WHEN 1266 THEN 'time with time zone' ELSE format_type(type_oid, typemod) END",
    # psycopg's type lookup (SQLAlchemy's first connection asks for hstore).
    f"CREATE MACRO to_regtype(n) AS (SELECT min(t.oid) FROM {OVERLAY}.pg_type AS t "
    "WHERE t.typname = lower(n))",
]

_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_$]*\Z")


def normalize(sql: str) -> str:
    sql = _OPERATOR.sub(r"\1", sql)
    sql = _COLLATE.sub("", sql)
    sql = _QUALIFIED_CALL.sub("", sql)
    sql = _REG_CAST.sub("::VARCHAR", sql)
    sql = _REG_CAST_AS.sub("AS VARCHAR)", sql)
    sql = _JSON_BUILD.sub("json_object(", sql)
    sql = _FORMAT_TYPE.sub(f"{OVERLAY}.format_type(", sql)
    sql = _QUALIFIED_CAST.sub("::", sql)
    sql = _INFORMATION_CALL.sub(lambda m: f"{OVERLAY}.{m.group(1).lower()}(", sql)
    sql = _CATALOG_NAME.sub(lambda m: f"{OVERLAY}.{m.group(1).lower()}", sql)
    return _INFORMATION_NAME.sub(lambda m: f"{OVERLAY}.information_schema_{m.group(1).lower()}",
                                 sql)


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


class Shadow(DuckDBBackend):
    """The published tables, empty, in an in-memory DuckDB."""

    name = "shadow"

    def __init__(self, executor: Any, catalogue: Catalogue) -> None:
        import duckdb

        db = duckdb.connect(":memory:")
        schemas: set[str] = set()
        main_used = False
        for table in catalogue.tables.values():
            parts = table.pub_name.split(".")[-2:]
            main_used = main_used or len(parts) == 1 or parts[0].lower() == "main"
            if len(parts) == 2 and parts[0].lower() not in schemas and parts[0].lower() != "main":
                db.execute(f"CREATE SCHEMA IF NOT EXISTS {_quote(parts[0])}")
                schemas.add(parts[0].lower())
            columns = []
            for column in table.columns.values():
                columns.append(f"{_quote(column.pub_name)} {self._type(db, column.type)}")
            db.execute(f"CREATE TABLE {'.'.join(map(_quote, parts))} ({', '.join(columns)})")
        for macro in _MACROS:
            db.execute(macro)
        db.execute(f"CREATE SCHEMA {OVERLAY}")
        hidden = "''" if main_used else "'main'"
        for name, query in _OVERLAY_VIEWS.items():
            db.execute(f"CREATE VIEW {OVERLAY}.{name} AS {query.replace('{hidden}', hidden)}")
        for macro in _OVERLAY_MACROS:
            db.execute(macro)
        # The settings a query could read (pg_settings, duckdb_settings())
        # would otherwise name directories of the gateway's host.
        for setting in ("temp_directory", "secret_directory", "home_directory",
                        "extension_directory"):
            db.execute(f"SET {setting} = ''")
        db.execute("SET enable_external_access = false")
        db.execute("SET lock_configuration = true")
        super().__init__(executor, db)

    @staticmethod
    def _type(db: Any, declared: str | None) -> str:
        if not declared:
            return "VARCHAR"
        try:
            db.execute(f"SELECT CAST(NULL AS {declared})")
        except Exception:
            return "VARCHAR"  # a type DuckDB does not know: described as text
        return declared

    def check(self, sql: str) -> str:
        """``sql`` ready for the shadow, or GatewayError when it is not one
        SELECT."""
        import duckdb

        sql = normalize(sql)
        try:
            statements = self.db.extract_statements(sql)
        except duckdb.Error:
            raise GatewayError("42601", "syntax error in a catalogue query") from None
        if len(statements) != 1 or statements[0].type != duckdb.StatementType.SELECT:
            raise GatewayError("42501", "only SELECT statements may read the catalogue")
        return sql

    def execute(self, cur: Any, sql: str, args: list[Any]) -> list[Field]:
        fields = super().execute(cur, sql, args)
        # A pg_catalog column DuckDB leaves untyped is NULL in every row.
        return [f if f.type_oid else Field(f.name, values.TEXT) for f in fields]

