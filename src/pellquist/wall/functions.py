"""Function policy: which functions a statement may call.

Two layers.  The floor is always on, whatever the catalogue: functions that
read tables or files named by text, reach other databases or the network,
read or change settings, take locks or otherwise change session state are
refused by name.  Native SQL written for one engine is often run on another
(sqlglot's default dialect is run anywhere), so the floor is the union of
every engine's list: a name that is dangerous on one engine is refused on
all of them.

On top of the floor, a catalogue may ask for a strict policy by offering
``allowed_functions`` (the models' ``Catalogue`` always does): then only
functions sqlglot knows as a function class pass, plus the names the
catalogue lists.  A name sqlglot does not know is an ``Anonymous`` call,
whose meaning the rewrite cannot judge.
"""

from __future__ import annotations

from sqlglot import exp

# Exact names, lower case.
FLOOR_NAMES = frozenset({
    # PostgreSQL: query text, table and file readers, other databases,
    # settings, sequences, locks, notifications, sleeps.
    "query_to_xml", "query_to_xml_and_xmlschema", "query_to_xmlschema",
    "table_to_xml", "table_to_xml_and_xmlschema", "table_to_xmlschema",
    "schema_to_xml", "schema_to_xml_and_xmlschema", "schema_to_xmlschema",
    "database_to_xml", "database_to_xml_and_xmlschema", "database_to_xmlschema",
    "cursor_to_xml", "cursor_to_xmlschema",
    "ts_stat", "ts_rewrite", "ts_debug",
    "set_config", "current_setting",
    "nextval", "setval", "currval", "lastval",
    "dblink", "dblink_exec", "dblink_open", "dblink_fetch", "dblink_connect",
    "dblink_connect_u", "dblink_send_query", "dblink_get_result",
    "current_query", "inet_client_addr", "inet_server_addr",
    "to_regclass", "to_regproc", "to_regprocedure", "to_regtype", "to_regnamespace",
    "to_regrole", "to_regoper", "to_regoperator", "to_regcollation", "to_regtypemod",
    "obj_description", "col_description", "shobj_description",
    "format_type", "row_security_active",
    "txid_current", "txid_current_if_assigned", "txid_current_snapshot",
    # DuckDB: tables and files by text, catalogue views, the environment.
    "query", "query_table", "getenv", "glob", "read_text", "read_blob",
    "read_csv", "read_csv_auto", "read_parquet", "parquet_scan", "parquet_metadata",
    "parquet_schema", "parquet_file_metadata", "parquet_kv_metadata",
    "read_json", "read_json_auto", "read_json_objects", "read_json_objects_auto",
    "read_ndjson", "read_ndjson_auto", "read_ndjson_objects", "json_scan",
    "sniff_csv", "sqlite_scan", "sqlite_attach", "postgres_scan", "postgres_query",
    "postgres_attach", "mysql_scan", "mysql_query", "iceberg_scan", "iceberg_metadata",
    "delta_scan", "read_xlsx", "st_read", "arrow_scan", "seq_scan", "index_scan",
    "current_database", "current_catalog", "current_schema", "current_schemas",
    "which_secret", "load_extension", "install_extension", "checkpoint",
    "force_checkpoint", "enable_profiling", "disable_profiling",
    # SQLite: extensions and files (the shell's and common loadable ones).
    "readfile", "writefile", "edit", "fts3_tokenizer", "fsdir", "zipfile",
    "sqlite_dbpage", "sqlite_dbdata", "sqlite_dbptr", "sqlite_stmt", "dbstat",
    "sqlite_offset",
    # ClickHouse: table functions and lookups by name.
    "file", "url", "urlcluster", "remote", "remotesecure", "cluster",
    "clusterallreplicas", "merge", "s3", "s3cluster", "gcs", "azureblobstorage",
    "azureblobstoragecluster", "hdfs", "hdfscluster", "input", "mysql", "postgresql",
    "sqlite", "jdbc", "odbc", "mongodb", "redis", "executable", "iceberg",
    "icebergs3", "icebergazure", "iceberghdfs", "deltalake", "hudi", "dictionary",
    "joinget", "joingetornull", "getsetting", "filesystem", "view", "viewifpermitted",
    "loop", "fuzzjson",
    "currentdatabase", "currentuser", "hostname", "getmacro", "getserverport",
    "throwif",
    # Spark and Hive: JVM calls and file metadata.
    "reflect", "java_method", "try_reflect", "input_file_name",
    "input_file_block_start", "input_file_block_length", "current_user", "user",
    "session_user", "assert_true", "raise_error",
    # Session state that outlives the statement.
    "setseed", "set_seed",
    # Several engines: sleeping holds the connection.
    "sleep", "pg_sleep", "pg_sleep_for", "pg_sleep_until", "sleepeachrow",
})

# Whole families, by prefix.
FLOOR_PREFIXES = (
    "pg_",        # PostgreSQL's administration and file functions
    "lo_",        # PostgreSQL large objects (lo_import reads files)
    "dblink",     # PostgreSQL's dblink extension
    "has_",       # PostgreSQL privilege probes reveal the schema
    "duckdb_",    # DuckDB's catalogue and settings
    "pragma_",    # DuckDB and SQLite pragmas as table functions
    "sqlite_",    # SQLite's internals
    "dictget",    # ClickHouse dictionaries
    "dicthas",
    "dictis",
    "read_",      # DuckDB file readers, present and future
)

# Table functions that produce rows from their arguments alone.
GENERATORS = frozenset({
    "generate_series", "range", "unnest", "json_each", "json_tree",
    "jsonb_each", "jsonb_each_text", "json_each_text", "jsonb_array_elements",
    "json_array_elements", "jsonb_array_elements_text", "json_array_elements_text",
    "regexp_split_to_table", "explode", "explode_outer", "posexplode",
    "posexplode_outer", "inline", "inline_outer", "numbers", "generate_subscripts",
    "string_split", "split_to_table", "flatten",
})


def _class_names(cls: type) -> tuple[str, ...]:
    names = [name.lower() for name in cls.sql_names()]
    # Some classes render under a name that differs from their key.
    names.append(cls.__name__.lower())
    return tuple(dict.fromkeys(names))


_NAMES_OF_CLASS: dict[type, tuple[str, ...]] = {}


def function_names(node: exp.Func) -> tuple[str, ...]:
    """The lower-cased names a call may mean: its written name for a call
    sqlglot does not know, else every name of its class."""
    if isinstance(node, (exp.Anonymous, exp.AnonymousAggFunc, exp.CombinedAggFunc)):
        name = node.this if isinstance(node.this, str) else node.name
        return (str(name).lower(),)
    cls = type(node)
    names = _NAMES_OF_CLASS.get(cls)
    if names is None:
        names = _NAMES_OF_CLASS[cls] = _class_names(cls)
    return names


def on_floor(name: str) -> bool:
    return name in FLOOR_NAMES or name.startswith(FLOOR_PREFIXES)


def is_anonymous(node: exp.Func) -> bool:
    return isinstance(node, (exp.Anonymous, exp.AnonymousAggFunc, exp.CombinedAggFunc))


def refusal(node: exp.Func, allowed: frozenset[str] | None) -> str | None:
    """Why the call may not run, or None when it may.

    ``allowed`` is None for the floor alone; otherwise the strict policy
    holds with these extra names allowed.
    """
    names = function_names(node)
    for name in names:
        if on_floor(name):
            return (f"The SQL calls the function {names[0]!r}, which can read data outside the "
                    "published tables or change the session")
    if (allowed is not None and is_anonymous(node) and names[0] not in allowed
            and names[0] not in GENERATORS):
        return (f"The SQL calls the function {names[0]!r}, which the catalogue does not allow; "
                "list it in the catalogue's allowed_functions to allow it")
    return None



# PostgreSQL's object-identifier types: a cast of text to one looks the name
# up in the system catalogues, which tells whether an unpublished table exists.
_CATALOGUE_TYPES = frozenset({
    "regclass", "regproc", "regprocedure", "regoper", "regoperator", "regtype",
    "regconfig", "regdictionary", "regnamespace", "regrole", "regcollation", "oid",
})


def type_refusal(node: exp.DataType, allowed: frozenset[str] | None) -> str | None:
    """Why a type the statement names may not be used, or None."""
    if isinstance(node, exp.ObjectIdentifier):
        return (f"The SQL uses the type {str(node.this).lower()!r}, which looks names up in "
                "the database's catalogue")
    if node.this != exp.DataType.Type.USERDEFINED:
        return None
    kind = node.args.get("kind")
    name = (kind.name if isinstance(kind, exp.Expression) else str(kind or "")).lower()
    if name.rsplit(".", 1)[-1] in _CATALOGUE_TYPES:
        return (f"The SQL uses the type {name!r}, which looks names up in the database's "
                "catalogue")
    if allowed is not None:
        # A type sqlglot does not know may be a table's row type, which
        # describes an unpublished table.
        return f"The SQL uses the type {name!r}, which the rewrite does not know"
    return None
