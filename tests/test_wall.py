"""The tenant wall under attack, on SQLite, DuckDB, PostgreSQL, ClickHouse and Spark.

Tenant 1 writes SQL against the published tables; the rewrite must keep
tenant 2's rows, the unpublished table ``secrets``, files and settings out of
reach, whatever the SQL. The databases are built by ``wall_engines``: an
internal one with both tenants, a control one with tenant 1's rows only, and
a public one with tenant 1's rows under the published names.

The cases are data, one corpus a file in ``tests/data/attacks`` (read by
``attacks``), each with what it expects of the wall. Three kinds, kept apart:

* attacks, grouped by what they try (text escaping its quotes, row sources
  the rewrite can't see through, recursive CTEs the engine does not treat as
  recursive, filter columns captured from an enclosing query, functions that
  read tables or files or change settings, errors raised by tenant 2's
  values). An attack holds when it is refused, or when what the engine does
  with the rewritten SQL tells tenant 1 nothing of anyone else: see
  :func:`wall_problems`. Every attack runs through the engine's dialect and
  through sqlglot's default dialect, whose output runs on the engine
  unchanged, since a caller may well skip the dialect; and each is
  rewritten for three kinds of catalogue (:data:`KINDS`), every native SQL
  they give run on the engine;
* must-refuse cases: row locks, functions that read tables or files, time
  travel and hints;
* cases that must work: CTEs at every level, table parts such as column
  aliases, samples and dotted names, and the table functions that only make
  rows. They must give what the same SQL gives on the public database (or,
  for table parts, operators whose reading differs between engines and CTE
  names that differ from a table's only in case, be refused).

Case ids read ``engine-corpus-shape``, the corpus being the file's name.
"""

from __future__ import annotations


import pytest

import pellquist

if __package__:
    from . import wall_engines as W
else:
    import wall_engines as W

from pellquist.quist import Session

from attacks import cases, corpus
from conftest import require_chdb, require_module

CATALOGUE = W.catalogue()
# Per dialect: typed where the default fence judges the engine.
CATALOGUES = {d: W.catalogue(d) for d in (None, "sqlite", "duckdb", "postgres")}
# Each statement is rewritten for three kinds of catalogue, and every native
# SQL they give runs on the engine: the one above, whose allowed_functions
# list the functions an application might add; the same without them (the
# strict default); and plain objects of the same shape, with no function
# list at all, which leaves only the floor of refused functions.
KINDS = {
    "listed": CATALOGUES,
    "strict": {d: W.catalogue(d, allowed=()) for d in CATALOGUES},
    "plain": {d: W.plain(W.catalogue(d)) for d in CATALOGUES},
}
# test_wall_tree reads the attack statements as hostile SQL; the error
# channel's expressions must also run on tenant 1's rows.
ESCAPE = cases("escape")
SOURCES = cases("sources")
RECURSIVE = cases("recursive")
CAPTURE = cases("capture")
ERRORS = cases("errors")


# ---- the engines -------------------------------------------------------------------------

@pytest.fixture(scope="module")
def files():
    made = W.Files()
    yield made
    made.close()


class Built(dict):
    """The engines built so far in this module, by name."""

    def engine(self, name, request):
        """The engine ``name``, its databases built on first use (or the test
        skipped, when the engine is not here)."""
        if name not in self:
            self[name] = _build(name, request)
        return self[name]

    def close(self):
        for engine in self.values():
            engine.close()


@pytest.fixture(scope="module")
def built():
    """The engines built so far in this module; closed at its end."""
    engines = Built()
    yield engines
    engines.close()


def _build(name, request):
    if name == "sqlite":
        return W.SQLiteEngine()
    if name == "duckdb":
        return W.DuckDBEngine(require_module("duckdb"))
    if name == "clickhouse":
        return W.ClickHouseEngine(require_chdb())
    if name == "spark":
        return W.SparkEngine(request.getfixturevalue("spark"))
    return W.PostgresEngine(request.getfixturevalue("postgres_dsn"))


@pytest.fixture
def engine(request, built, files):
    """The engine named by the case."""
    return built.engine(request.param, request)


# ---- the oracle --------------------------------------------------------------------------

def shown(text, quoted=""):
    """The markers and tenant-2 values that ``text`` shows.

    Messages quote the statement, so a number the statement itself holds
    (``quoted``) tells nothing when it comes back.
    """
    # Some functions fold case (text search lower-cases every word).
    folded = text.lower()
    found = [m for m in W.MARKERS if m.lower() in folded]
    return found + [n for n in W.TENANT2_NUMBERS if n in text and n not in quoted]


def outcome(engine, db, sql):
    """("rows", rows) or ("error", message, kind) of ``sql`` on one database."""
    try:
        return "rows", engine.rows(db, sql)
    except engine.errors as e:
        return "error", f"{type(e).__name__}: {e}", engine.error_kind(e)


def same(a, b):
    """Whether two outcomes tell the same: errors of one kind (which error
    came back is itself an answer), or the same rows in any order."""
    if a[0] != b[0]:
        return False
    if a[0] == "error":
        return a[2] == b[2]
    return sorted(map(repr, a[1])) == sorted(map(repr, b[1]))


def text_of(result):
    kind, value = result[:2]
    return repr(value) if kind == "rows" else value


def summary(result):
    return f"{result[0]} {text_of(result)[:400]}"


def _catalogue(kind, dialect):
    catalogues = KINDS[kind]
    return catalogues.get(dialect, catalogues[None])


def session_rewrite(sql, dialect, kind="listed"):
    """The native SQL of ``sql``; raises when the wall refuses it."""
    return Session(_catalogue(kind, dialect), W.PARAMS).generateNativeSQL(sql, dialect)


def api_rewrite(sql, dialect, kind="listed"):
    """The same through ``pellquist.rewrite``, which also takes a set
    operation at the statement's root."""
    return pellquist.rewrite(_catalogue(kind, dialect), sql, W.PARAMS, dialect=dialect)


def natives(sql, dialect, rewrite=session_rewrite):
    """Each distinct outcome of rewriting ``sql`` for the three kinds of
    catalogue, with the kinds that gave it: the native SQL, or the refusal."""
    found = {}
    for kind in KINDS:
        try:
            result = rewrite(sql, dialect, kind)
        except Exception as e:  # refused: TableNotFound, ValueError, a parse error, ...
            result = e
        key = ("refused", str(result)) if isinstance(result, Exception) else ("native", result)
        if key in found:
            found[key][1].append(kind)
        else:
            found[key] = (result, [kind])
    return list(found.values())


def rewritten(sql, dialect, rewrite=session_rewrite):
    """The native SQL, or None when the rewrite refuses ``sql``."""
    try:
        return rewrite(sql, dialect)
    except Exception:
        return None


def wall_problems(engine, sql, dialect, rewrite=session_rewrite):
    """What ``sql``, rewritten in ``dialect`` and run on the engine, lets
    tenant 1 learn of anything it must not see; empty when nothing.

    A refusal is fine unless its message shows a marker. Otherwise the native
    SQL runs on the internal database: its rows or its error message must
    show no marker and no tenant-2 value, and the outcome must be the one the
    same SQL has on the control database, which lacks every row tenant 1 must
    not see. An error there but not on the control database is an error
    raised by those rows, and tells that they exist; rows that differ depend
    on them.
    """
    problems = []
    for result, kinds in natives(sql, dialect, rewrite):
        route = f"{dialect or 'default dialect'}, {'/'.join(kinds)} catalogue"
        if isinstance(result, Exception):
            leaked = shown(str(result), sql)
            if leaked:
                problems.append(f"[{route}] the refusal shows {leaked}: {result}")
        else:
            problems += _run_problems(engine, sql, result, route)
    return problems


def _run_problems(engine, sql, native, route):
    problems = []
    got = outcome(engine, "internal", native)
    leaked = shown(text_of(got), sql + native)
    if leaked:
        problems.append(f"[{route}] leaks {leaked}: {summary(got)}")
    control = outcome(engine, "control", native)
    if not same(got, control):
        problems.append(f"[{route}] the outcome depends on rows tenant 1 must not see: "
                        f"{summary(got)}; without them: {summary(control)}")
    if problems:
        problems.append(f"  native SQL ({route}): {native}")
    return problems


def state_problems(engine):
    """A statement that changed the session for the ones after it (PostgreSQL)."""
    first = getattr(engine, "first_state", None)
    if first is None:
        return []
    try:
        now = engine.session_state()
    except engine.errors as e:
        # A lost connection would turn every later case into an error on
        # both databases, which passes: start again instead.
        engine.restore()
        return [f"the session no longer answers: {e}"]
    if now == first:
        return []
    engine.restore()  # the next case gets the connection as it was
    return [f"the session settings changed: {now} (were {first})"]


def assert_wall_holds(engine, sql, routes, rewrite=session_rewrite):
    assert not shown(sql, sql), "an attack must not hold a marker itself"
    problems = []
    for dialect in routes:
        problems += wall_problems(engine, sql, dialect, rewrite)
    problems += state_problems(engine)
    assert not problems, "\n".join(problems)


def assert_refused(sql, routes, rewrite=session_rewrite):
    for route in routes:
        for result, kinds in natives(sql, route, rewrite):
            assert isinstance(result, Exception), (
                f"[{route or 'default dialect'}, {'/'.join(kinds)} catalogue] accepted as: "
                f"{result}")


def assert_same_as_public(engine, sql, public_sql=None, rewrite=session_rewrite):
    native = rewrite(sql, engine.name)
    got = outcome(engine, "internal", native)
    want = outcome(engine, "public", public_sql or sql)
    assert want[0] == "rows", f"the public database must run the case: {want[1]}"
    assert same(got, want), (f"{summary(got)}\nexpected {summary(want)}\nnative SQL: {native}")


def assert_refused_or_same_as_public(engine, sql, public_sql=None, rewrite=session_rewrite):
    native = rewritten(sql, engine.name, rewrite)
    if native is None:
        return
    got = outcome(engine, "internal", native)
    want = outcome(engine, "public", public_sql or sql)
    if want[0] == "error":
        assert got[0] == "error", (
            f"the engine refuses this on the public database ({want[1]}); the native SQL runs: "
            f"{summary(got)}\nnative SQL: {native}")
    else:
        assert same(got, want), f"{summary(got)}\nexpected {summary(want)}\nnative SQL: {native}"


def assert_expected(case, target, files, routes=None, rewrite=session_rewrite):
    """Asserts that the wall does with ``case`` what the case expects, on
    ``target``: an engine, or for a case that runs nowhere the name of the
    dialect it is rewritten in.

    ``routes`` are the dialects the statement is rewritten in, None standing
    for sqlglot's default one: by default the target's own and the default.
    A comparison with the public database takes the target's own alone.
    """
    sql = files.fill(case.sql)
    own = getattr(target, "name", target)
    routes = routes or (own, None)
    if case.expect == "refused":
        assert_refused(sql, routes, rewrite)
        return
    assert not isinstance(target, str), f"a case that expects {case.expect!r} runs on an engine"
    if case.expect == "holds":
        assert_wall_holds(target, sql, routes, rewrite)
    elif case.expect == "public":
        assert_same_as_public(target, sql, case.public_sql, rewrite)
    else:
        assert_refused_or_same_as_public(target, sql, case.public_sql, rewrite)


# ---- the corpora --------------------------------------------------------------------------

def corpus_test(name, rewrite=session_rewrite):
    """A test of each case of the corpus ``name`` on each engine it names (or
    in each dialect, for a corpus that runs nowhere): the wall must do with
    the case what it expects. What a corpus tries is said at the head of its
    file."""
    if cases(name)[0].runs == "engine":
        def test(engine, files, case):
            assert_expected(case, engine, files, rewrite=rewrite)
    else:
        def test(dialect, files, case):
            assert_expected(case, dialect, files, rewrite=rewrite)
    return corpus(name)(test)


# ---- attacks ------------------------------------------------------------------------------

test_text_escape = corpus_test("escape")
test_row_source = corpus_test("sources")
test_recursive_cte_and_scope = corpus_test("recursive")
test_filter_column_capture = corpus_test("capture")


@corpus("errors")
def test_error_channel(engine, files, case):
    # The default dialect's fence (a bare OFFSET 0) is none on ClickHouse and
    # Spark, which drop it: there only the engine's own dialect is fenced.
    assert_expected(case, engine, files, None if engine.default_dialect_fenced else (engine.name,))


def test_error_channel_expressions_hold_on_tenant_1s_rows(built, request):
    """The error cases test the order of evaluation only if their expressions
    succeed on tenant 1's rows: each must run on the public database."""
    failing = []
    for case in ERRORS:
        for name in case.on:
            try:
                engine = built.engine(name, request)
            except pytest.skip.Exception:
                continue
            kind, value = outcome(engine, "public", case.sql)[:2]
            if kind == "error":
                failing.append(f"{name}-{case.shape}: {value}")
    assert not failing, "\n".join(failing)


# ---- what must be refused outright -------------------------------------------------------

test_row_lock_is_refused = corpus_test("locks")
test_reader_is_refused = corpus_test("readers")


@corpus("time-travel-and-hints")
def test_time_travel_and_hints_are_refused(dialect, files, case):
    # In the dialect named alone: sqlglot's default one reads some of these
    # otherwise (an Oracle hint is a comment there).
    assert_expected(case, dialect, files, (dialect,))


# ---- what must work, or be refused rather than change its meaning ------------------------

test_cte_at_every_level_works = corpus_test("cte-levels")
test_must_work = corpus_test("works")
test_a_set_operation_at_the_root_gives_the_public_rows = corpus_test("set-operations",
                                                                     api_rewrite)
test_operator_meaning_is_kept = corpus_test("meaning")
test_table_part_is_refused_or_kept = corpus_test("table-parts")
test_case_variant_cte_names = corpus_test("case-variant-ctes")


def test_a_refused_set_operation_names_the_caller_s_statement():
    sql = "SELECT id FROM orders UNION SELECT current_setting('x')"
    with pytest.raises(pellquist.Refused) as refused:
        pellquist.rewrite(CATALOGUE, sql, W.PARAMS, dialect="postgres")
    assert refused.value.args[1] == sql and "current_setting" in refused.value.args[0]


# ---- storage that shares values between tenants --------------------------------------

@pytest.mark.parametrize("sql", [
    "SELECT from_base64(note) FROM orders",
    "SELECT id FROM orders WHERE CAST(replace(note, 'aGk=', '1') AS INT) > 0",
    "SELECT count(*) FROM orders GROUP BY from_base64(note)",
])
def test_duckdb_dictionary_compressed_text_meets_only_the_tenant_s_values(tmp_path, sql):
    """On disk DuckDB keeps a segment's repeated strings in one dictionary
    for every row; a function run over the dictionary would meet tenant 2's
    value.  The fenced rewrite must not raise on it (tenant 1's rows are
    valid for each function)."""
    duckdb = require_module("duckdb")
    from pellquist.models import Catalogue, Table

    conn = duckdb.connect(str(tmp_path / "shared.duckdb"))
    conn.execute("CREATE TABLE app_order (tenant_id INT, id INT, note VARCHAR)")
    conn.execute("INSERT INTO app_order SELECT CASE WHEN i % 50 = 0 THEN 2 ELSE 1 END, i, "
                 "CASE WHEN i % 50 = 0 THEN 'LEAK-T2-x' ELSE 'aGk=' END FROM range(100000) r(i)")
    conn.execute("CHECKPOINT")
    kinds = {k for (k,) in conn.sql("SELECT DISTINCT vector_type(note) FROM app_order").fetchall()}
    assert "DICTIONARY_VECTOR" in kinds  # the storage shares values between tenants
    catalogue = Catalogue([Table("orders", "app_order", {"id": "id", "note": "note"},
                                 "tenant_id = {tenant}")])
    native = Session(catalogue, {"tenant": 1}).generateNativeSQL(sql, "duckdb")
    try:
        result = repr(conn.sql(native).fetchall())
    except duckdb.Error as e:
        result = str(e)
    finally:
        conn.close()
    assert "LEAK" not in result, result


@pytest.mark.parametrize("fence", [True, False])
def test_clickhouse_projections_read_the_internal_columns_not_each_other(fence):
    """ClickHouse lets a SELECT's aliases shadow its columns: a published
    name that is another internal column's must not make that column's
    projection read the alias instead, fenced or not, filtered or not."""
    chdb = require_chdb()
    from engine_sessions import ClickHouseDatabase
    from pellquist.models import Catalogue, Table

    db = ClickHouseDatabase(chdb, "wall_swapped")
    try:
        db.execute("CREATE TABLE t (tenant UInt8, a LowCardinality(String), b String) "
                   "ENGINE = MergeTree ORDER BY tenant")
        db.execute("INSERT INTO t VALUES (1, 'A', 'B'), (2, 'LEAK-T2-a', 'LEAK-T2-b')")
        catalogue = Catalogue([Table("pub", "t", {"a": "b", "b": "x"}, "tenant = {tenant}"),
                               Table("everyone", "t", {"a": "b", "b": "x"})], fence=fence)
        native = Session(catalogue, {"tenant": 1}).generateNativeSQL(
            "SELECT p.b, p.x, e.b, e.x FROM pub AS p JOIN everyone AS e ON e.b = p.b",
            "clickhouse")
        assert list(db.execute(native)) == [("A", "B", "A", "B")]
    finally:
        db.close()


@pytest.mark.parametrize("sql", ["SELECT o FROM orders AS o", "SELECT o AS whole FROM orders AS o",
                                 "SELECT (SELECT o) FROM orders AS o"])
def test_a_whole_row_returned_on_postgres_is_refused(sql):
    # Over the subquery that replaces the table the row is an anonymous
    # record, not the table's row type: returned, drivers decode it otherwise.
    with pytest.raises(Exception, match="reads the whole row of 'orders' as o"):
        session_rewrite(sql, "postgres")
    assert session_rewrite(sql, "duckdb")  # a struct of the same fields there


def test_clickhouse_query_condition_cache_drops_no_rows_of_a_fenced_subquery():
    """ClickHouse's query condition cache (on by default) recorded the
    granules of a fenced subquery as empty after a join whose other side's
    condition matched nothing, and a later read of the same subquery then
    found no rows. The fence reads without the cache."""
    chdb = require_chdb()
    from engine_sessions import ClickHouseDatabase
    from pellquist.models import Catalogue, Table

    db = ClickHouseDatabase(chdb, "wall_condition_cache", {})
    try:
        db.execute("CREATE TABLE acct (tenant UInt8, no UInt32, country String) "
                   "ENGINE = MergeTree ORDER BY tenant")
        db.execute("CREATE TABLE inv (tenant UInt8, no UInt32, acct UInt32) "
                   "ENGINE = MergeTree ORDER BY tenant")
        db.execute("INSERT INTO acct VALUES (12, 1, 'CH'), (12, 2, 'GB'), (7, 1, 'DE')")
        db.execute("INSERT INTO inv VALUES (12, 10, 1), (12, 11, 2), (7, 20, 1)")
        catalogue = Catalogue([
            Table("accounts", "acct", {"no": "id", "country": "country"}, "tenant = {tenant}"),
            Table("invoices", "inv", {"no": "id", "acct": "account"}, "tenant = {tenant}"),
        ], dialect="clickhouse")

        def rows(sql):
            return sorted(db.execute(pellquist.rewrite(catalogue, sql, {"tenant": 12})))

        assert rows("SELECT id FROM accounts") == [(1,), (2,)]
        assert rows("SELECT i.id FROM invoices AS i JOIN accounts AS a ON a.id = i.account "
                    "WHERE a.country = 'DE'") == []
        assert rows("SELECT id FROM accounts") == [(1,), (2,)]
    finally:
        db.close()
