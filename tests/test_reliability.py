"""Reliability of pellquist.quist: the leak soak, the per-call record and the GC, threads.

Every check runs in a child interpreter, so that a crash fails its own test
(with the signal that ended the child) instead of ending the whole run.  The
checks are the ``check_*`` functions below; each test starts a child that
imports this module and calls one of them.

The record: each generateNativeSQL call keeps its state (the session, the
dialect, the statement's CTE names, the catalogue's tables, the wall's view
of the call) in one ``GenerateNativeSQLScope`` object, tracked by the GC,
which the call's transformer reaches.  Released records are kept for reuse;
the checks hold the record to what can be seen from Python: what the GC
finds in it, that its cycles are collected, that none is left once the
calls are over, and that one still held is never given to another call.
"""

from __future__ import annotations

import gc
import os
import re
import signal
import subprocess
import sys
import threading
import weakref
from collections.abc import Mapping
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
TESTS = Path(__file__).resolve().parent
RECORD = "GenerateNativeSQLScope"
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")


def run_child(args: list[str], timeout: float) -> subprocess.CompletedProcess:
    proc = subprocess.run([sys.executable, *args], capture_output=True, text=True,
                          timeout=timeout, cwd=ROOT)
    output = f"--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
    if proc.returncode < 0:
        pytest.fail(f"the child crashed: {signal.Signals(-proc.returncode).name}\n{output}")
    assert proc.returncode == 0, output
    return proc


def isolated(check: str, *args: str, timeout: float = 300) -> str:
    code = (f"import sys; sys.path.insert(0, {str(TESTS)!r}); "
            f"import test_reliability as m; m.{check}(*{args!r})")
    return run_child(["-c", code], timeout).stdout


# ---- the soak ---------------------------------------------------------------

def test_short_soak():
    args = [str(ROOT / "scripts" / "soak.py")]
    # The sanitizer's allocator keeps freed memory in quarantine, so RSS
    # says nothing there; references and GC objects still must balance.
    args += ["--calls", "4000", "--no-rss-bound"] if UNDER_SANITIZER else ["--calls", "20000"]
    out = run_child(args, timeout=1200).stdout
    assert "OK: every bound held" in out, out


# ---- helpers shared by the checks ---------------------------------------------

def catalogue(orders=None):
    from pellquist.models import Catalogue, Column, Table

    return Catalogue({
        "orders": orders or Table("orders", "ord_t",
                                  {"o_id": Column("id"), "o_amt": Column("amount")},
                                  "tenant_id = {tenant}"),
        "customers": Table("customers", "cust_t", {"c_id": Column("id")},
                           "WHERE tenant_id = {tenant} AND region = {region}"),
        "products": Table("products", "prod_t", {"p_id": Column("id")}),
        "broken": Table("broken", "brk_t", {"b_id": Column("id")},
                        "tenant_id = {tenant}; DROP TABLE users"),
    })


def records() -> list:
    """The records the GC tracks now: one per generateNativeSQL call running."""
    return [o for o in gc.get_objects() if type(o).__name__ == RECORD]


def record_ids() -> set[int]:
    return {id(o) for o in records()}


def the_record():
    """The record of the one generateNativeSQL call running now."""
    (record,) = records()
    return record


def transformers_of(record) -> list:
    return [f for f in gc.get_referrers(record)
            if type(f).__module__ == "pellquist.quist" and f.__name__ == "transformer"]


def record_of(transformer):
    (record,) = [f for f in gc.get_referents(transformer) if type(f).__name__ == RECORD]
    return record


class ReadHook(Mapping):
    """Params whose reading by the rewrite (keys() then []) calls ``on_read``."""

    def __init__(self, on_read, values=None):
        self.on_read = on_read
        self.values = {"tenant": 7, "region": 1} if values is None else values

    def keys(self):
        self.on_read()
        return list(self.values)

    def __getitem__(self, key):
        return self.values[key]

    def __iter__(self):
        return iter(self.values)

    def __len__(self):
        return len(self.values)


SQL = "SELECT id FROM orders"


def nested_record_ids(session, depth: int) -> list[int]:
    """Runs ``depth`` calls, each from inside the previous one's params read.

    Returns each call's record id, outermost first, checking on the way that
    exactly one more record is live per level, besides those live before.
    """
    before = record_ids()
    seen: list[int] = []

    def on_read():
        ids = record_ids() - before
        assert len(ids) == len(seen) + 1 and set(seen) <= ids, (seen, ids)
        seen.append((ids - set(seen)).pop())
        if len(seen) < depth:
            session.generateNativeSQL(SQL)

    session.params = ReadHook(on_read)
    try:
        session.generateNativeSQL(SQL)
    finally:
        session.params = None
    assert len(seen) == depth, seen
    return seen


# ---- the record and the GC --------------------------------------------------------

def check_record_reports_what_it_holds():
    import pellquist.quist as q

    session = q.Session(catalogue(), None)
    dialect = "".join(["post", "gres"])  # a str object of its own
    sql = "WITH c1 AS (SELECT 1), C2 AS (SELECT 2) SELECT id FROM orders"
    got = []
    session.params = ReadHook(lambda: got.extend(gc.get_referents(the_record())))
    session.generateNativeSQL(sql, dialect)
    assert any(f is session for f in got) and any(f is dialect for f in got), got
    # The CTE names as written, and as PostgreSQL folds them.
    assert {"c1", "C2", "c2"} in got, got
    # The wall's view of this call: the same dialect, the statement as given.
    (wall,) = [f for f in got if type(f).__module__ == "pellquist.wall"]
    assert type(wall).__name__ == "Call" and wall.dialect is dialect and wall.sql == sql

    # Early in a call, before the statement is parsed, the record is only
    # partly filled; the GC still finds the session and the dialect in it.
    early = []

    class Dialect(str):
        def __bool__(self):
            early.append(gc.get_referents(the_record()))
            return True

    hooked = Dialect("duckdb")
    session.params = {"tenant": 1}
    session.generateNativeSQL(SQL, hooked)
    assert early, "the dialect was never tested"
    for seen in early:
        assert any(f is hooked for f in seen) and any(f is session for f in seen), seen


def check_cycle_through_record_is_collected(via: str):
    """A cycle closed through what the record holds (the session, or a
    table of the catalogue) is collected, record and all."""
    import pellquist.quist as q
    from pellquist.models import Table

    class Held(Table):
        pass

    orders = Held("orders", "ord_t", {"o_id": "id"}, "tenant_id = {tenant}")
    session = q.Session(catalogue(orders), None)
    holder = session if via == "session" else orders

    def on_read():
        object.__setattr__(holder, "kept", the_record())

    session.params = ReadHook(on_read)
    assert '"tenant_id" = 7' in session.generateNativeSQL(SQL, "postgres")
    assert any(f is session for f in gc.get_referents(holder.kept))
    gone = weakref.ref(session)
    del session, orders, holder, on_read
    gc.collect()
    assert records() == []
    assert gone() is None, gc.get_referrers(gone())


def check_cycle_through_transformer_is_collected():
    import pellquist.quist as q
    from sqlglot import exp

    session = q.Session(catalogue(), None)
    kept = []
    session.params = ReadHook(lambda: kept.extend(transformers_of(the_record())))
    session.generateNativeSQL(SQL)
    assert len(kept) == 1, kept
    # A transformer kept past its call still reads its own record.
    sub = kept[0](exp.to_table("orders"))
    assert isinstance(sub, exp.Subquery) and "ord_t" in sub.sql(), sub
    gone = weakref.ref(session)
    del session, kept, sub
    gc.collect()
    assert gone() is None
    assert records() == []


def check_self_referencing_session_is_collected():
    import pellquist.quist as q
    from pellquist.models import TableNotFound

    for sql, error in [(SQL, None), ("SELECT * FROM nope", TableNotFound),
                       ("DELETE FROM orders", Exception), ("SELECT * FROM customers", KeyError)]:
        session = q.Session(catalogue(), None)
        session.params = {"tenant": 7, "session": session}
        try:
            session.generateNativeSQL(sql)
        except Exception as e:  # noqa: BLE001 - checked below
            assert error is not None and isinstance(e, error), repr(e)
            del e
        else:
            assert error is None
        gone = weakref.ref(session)
        del session
        gc.collect()
        # A released record holds nothing.
        assert gone() is None, (sql, gc.get_referrers(gone()))


def check_no_record_outlives_its_call():
    """One record per running call, and none left once the calls are over,
    whatever way they ended, without the GC running."""
    import pellquist.quist as q

    gc.collect()
    assert records() == []
    session = q.Session(catalogue(), None)
    live = []
    session.params = ReadHook(lambda: live.append(len(records())), {"tenant": 7})
    cases = [SQL, "SELECT * FROM customers", "SELECT * FROM broken", "SELECT * FROM nope",
             "DELETE FROM orders", "SELECT ("]
    for _ in range(20):
        for sql in cases:
            try:
                session.generateNativeSQL(sql, "postgres")
            except Exception:  # noqa: BLE001 - each ending is one of the cases
                pass
            assert records() == [], sql
    assert live and set(live) == {1}, live
    for depth in (1, 5, 12, 12):
        nested_record_ids(session, depth)
        assert records() == []


def check_record_in_use_is_never_handed_out(holder: str):
    """A record kept past its call, by user code or by its transformer, is
    never given to another call, however many run meanwhile."""
    import pellquist.quist as q
    from pellquist.models import Table
    from sqlglot import exp

    first = q.Session(catalogue(), None)
    dialect = "".join(["post", "gres"])
    kept = []

    def keep():
        record = the_record()
        kept.append(record if holder == "record" else transformers_of(record)[0])

    def kept_record():
        return kept[0] if holder == "record" else record_of(kept[0])

    first.params = ReadHook(keep)
    first.generateNativeSQL(SQL, dialect)
    first.params = {"tenant": 7}
    kept_id = id(kept_record())
    other = q.Session(catalogue(Table("orders", "ord_b", {"o_id": "id"}, "tenant_id = {tenant}")),
                      None)
    new = []
    other.params = ReadHook(lambda: new.append(record_ids() - {kept_id}), {"tenant": 2})
    rounds = 20
    for _ in range(rounds):
        for sql in (SQL, "SELECT * FROM customers", "SELECT * FROM nope"):
            try:
                other.generateNativeSQL(sql, "sqlite")
            except Exception:  # noqa: BLE001 - the failed calls release records too
                pass
    # Each call that read its params had a record of its own, not the kept one.
    assert len(new) == 2 * rounds and all(len(n) == 1 for n in new), new
    for depth in (12, 12):  # each level must find one record that was not live before
        nested_record_ids(other, depth)
    # The kept record is still the first call's, and the GC still sees it.
    record = kept_record()
    assert id(record) == kept_id and record_ids() == {kept_id}
    held = gc.get_referents(record)
    assert any(f is first for f in held) and any(f is dialect for f in held), held
    assert not any(f is other for f in held), held
    if holder == "transformer":
        sub = kept[0](exp.to_table("orders")).sql()
        assert "ord_t" in sub and "tenant_id = 7" in sub and "ord_b" not in sub, sub


def check_record_cannot_be_made_copied_or_referenced():
    import copy
    import pickle

    import pellquist.quist as q

    session = q.Session(catalogue(), None)
    kept = []
    session.params = ReadHook(lambda: kept.extend(records()))
    session.generateNativeSQL(SQL)
    (record,) = kept
    kind = type(record)
    assert kind.__module__ == "pellquist.quist" and kind.__name__ == RECORD
    for attempt in (lambda: kind(), lambda: object.__new__(kind), lambda: copy.copy(record),
                    lambda: copy.deepcopy(record), lambda: pickle.dumps(record),
                    lambda: weakref.ref(record), lambda: type("Sub", (kind,), {})):
        try:
            attempt()
        except TypeError:
            pass
        else:
            raise AssertionError(f"{attempt} worked on the record")
    try:
        record.session = None
    except AttributeError:
        pass
    else:
        raise AssertionError("the record took an attribute")
    assert any(f is session for f in gc.get_referents(record))


def check_transformer_called_from_a_finalizer():
    import pellquist.quist as q
    from sqlglot import exp

    results = []

    class Holder:
        """In a garbage cycle with the transformer; calls it when finalized."""

        def __del__(self):
            try:
                results.append(self.transformer(exp.to_table("orders")).sql())
            except Exception as e:  # noqa: BLE001 - either outcome is fine, a crash is not
                results.append(repr(e))

    session = q.Session(catalogue(), None)
    holder = Holder()

    def on_read():
        (holder.transformer,) = transformers_of(the_record())

    session.params = ReadHook(on_read)
    session.generateNativeSQL(SQL)
    session.params = {"tenant": 7}
    holder.session = session        # holder -> transformer -> record -> session -> holder
    session.holder = holder
    gone = weakref.ref(session)
    del session, holder, on_read
    gc.collect()
    gc.collect()
    assert gone() is None
    assert len(results) == 1 and "ord_t" in results[0], results


@pytest.mark.parametrize("check", [
    "check_record_reports_what_it_holds",
    "check_cycle_through_record_is_collected:session",
    "check_cycle_through_record_is_collected:table",
    "check_cycle_through_transformer_is_collected",
    "check_self_referencing_session_is_collected",
    "check_no_record_outlives_its_call",
    "check_record_in_use_is_never_handed_out:record",
    "check_record_in_use_is_never_handed_out:transformer",
    "check_record_cannot_be_made_copied_or_referenced",
    "check_transformer_called_from_a_finalizer",
])
def test_record(check):
    isolated(*check.split(":"))

# ---- threads ------------------------------------------------------------------------

THREADS = 16
# Per thread; a sanitizer build is many times slower, so it runs fewer.
CALLS = 100 if UNDER_SANITIZER else 500

THREAD_CASES = [
    ("SELECT id FROM orders", None),
    ("SELECT o.id, p.id FROM orders AS o JOIN products AS p ON o.id = p.id", "postgres"),
    ("WITH x AS (SELECT * FROM orders) SELECT * FROM x WHERE id IN (SELECT id FROM products)",
     None),
    ("SELECT * FROM products", "duckdb"),
    ("DELETE FROM orders", None),
    ("SELECT * INTO t FROM orders", None),
    ("SELECT * FROM nope", None),
    ("SELECT * FROM customers", None),     # KeyError: no region in params
    ("SELECT * FROM broken", None),        # ValueError: the filter fills into a statement
    ("SELECT (", None),                    # ParseError
    ("SELECT 'open", None),                # TokenError
    (None, None),                          # binding: no SQL given
]


def outcome(session, sql, dialect):
    try:
        if sql is None:
            return ("ok", session.generateNativeSQL())
        return ("ok", session.generateNativeSQL(sql, dialect))
    except Exception as e:  # noqa: BLE001 - compared as results
        return (type(e).__name__, repr(e.args))


def run_threads(work, count=THREADS):
    errors = []
    barrier = threading.Barrier(count)

    def body(k):
        try:
            barrier.wait()
            work(k)
        except BaseException as e:  # noqa: BLE001 - reported by the caller
            errors.append(f"thread {k}: {e!r}")

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def run_threads_beside(work, beside, stop):
    """:func:`run_threads` with ``beside`` running in a thread of its own until
    the workers are done, when ``stop`` (an Event) is set for it to end."""
    helper = threading.Thread(target=beside)
    helper.start()
    try:
        return run_threads(work)
    finally:
        stop.set()
        helper.join()


def check_threads_match_serial_run():
    import pellquist.quist as q

    sys.setswitchinterval(1e-6)
    session = q.Session(catalogue(), {"tenant": 1})
    serial = [outcome(session, sql, d) for sql, d in THREAD_CASES]
    kinds = {r[0] for r in serial}
    assert {"ok", "Exception", "TableNotFound", "KeyError", "ValueError", "ParseError",
            "TokenError", "TypeError"} <= kinds, kinds
    done = [0] * THREADS

    def work(k):
        for i in range(CALLS):
            j = (i * 7 + k) % len(THREAD_CASES)
            got = outcome(session, *THREAD_CASES[j])
            assert got == serial[j], (THREAD_CASES[j], got, serial[j])
            done[k] += 1

    # Meanwhile another thread collects and reads the records of the calls
    # that are running.  It finds them as referrers of the session, not
    # through gc.get_objects(): that would also hand it tuples still being
    # built by tuple(iterable) in other threads, whose resizing then fails
    # with a SystemError in CPython itself, with or without this extension.
    stop = threading.Event()
    looks = [0]

    inspect_errors = []

    def inspect():
        try:
            while not stop.is_set():
                gc.collect(0)
                for record in gc.get_referrers(session):
                    if type(record).__name__ == RECORD:
                        # Early in a call only the dialect and session are set.
                        assert any(f is session for f in gc.get_referents(record))
                        looks[0] += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            inspect_errors.append(repr(e))

    errors = run_threads_beside(work, inspect, stop)
    assert not errors, errors[:5]
    assert not inspect_errors, inspect_errors
    assert sum(done) == THREADS * CALLS, done
    print(f"{sum(done)} calls in {THREADS} threads, all as in the serial run; "
          f"{looks[0]} records of running calls inspected meanwhile")


# The filter's columns come qualified by the name of the internal table.
TENANT = re.compile(r'"tenant_id" = (\d+)')
PAIR = re.compile(r'"tenant_id" = (\d+) AND ("\w+"\.)"region" = (\d+)')
P1 = {"tenant": 1, "region": 11}
P2 = {"tenant": 2, "region": 22}
REBIND_CASES = [
    "SELECT id FROM orders",
    "SELECT * FROM customers",
    "SELECT * FROM orders AS o JOIN customers AS c ON o.id = c.id",
    "SELECT * FROM orders WHERE id IN (SELECT id FROM customers) AND id IN "
    "(SELECT id FROM orders UNION SELECT id FROM products)",
]


def normalised(out: str) -> str:
    """The output with every filter value set back to P1's."""
    out = PAIR.sub(r'"tenant_id" = 1 AND \2"region" = 11', out)
    return TENANT.sub('"tenant_id" = 1', out)


def check_params_rebinding_between_rewrites():
    import pellquist.quist as q

    sys.setswitchinterval(1e-6)
    session = q.Session(catalogue(), P1)
    serial = {}
    for sql in REBIND_CASES:
        session.params = P1
        one = session.generateNativeSQL(sql)
        session.params = P2
        two = session.generateNativeSQL(sql)
        assert normalised(two) == one != two
        serial[sql] = (one, two)
    session.params = P1
    stop = threading.Event()
    mixed = [0]
    flips = [0]
    seen = [0, 0]  # [not all P2, all P2]

    def flip():
        # One rebinding per pass: the interpreter switches threads only at
        # calls and loop ends, so each pass leaves either P1 or P2 bound.
        both = (P2, P1)
        while not stop.is_set():
            session.params = both[flips[0] & 1]
            flips[0] += 1

    def work(k):
        for i in range(CALLS):
            sql = REBIND_CASES[(i + k) % len(REBIND_CASES)]
            out = session.generateNativeSQL(sql)
            one, two = serial[sql]
            # Each filter is filled from one complete params object.
            pairs = [(tenant, region) for tenant, _, region in PAIR.findall(out)]
            assert all(p in (("1", "11"), ("2", "22")) for p in pairs), (sql, out)
            values = set(TENANT.findall(out))
            assert values <= {"1", "2"}, (sql, out)
            # Apart from the filter values, the statement is the serial one.
            assert normalised(out) == one, (sql, out, one)
            if len(TENANT.findall(one)) == 1:
                assert out in (one, two), (sql, out)
            elif len(values) > 1:
                mixed[0] += 1
            seen[out == two] += 1

    errors = run_threads_beside(work, flip, stop)
    assert not errors, errors[:5]
    assert flips[0] > 0
    # The rebinding was seen: some statements were made wholly under P2.
    assert seen[True] > 0, seen
    print(f"{THREADS * CALLS} calls while params were rebound {flips[0]} times: "
          f"{seen[True]} wholly under the second params, {mixed[0]} mixing the two "
          f"between table rewrites")


def test_threads_match_serial_run():
    print(isolated("check_threads_match_serial_run", timeout=900))


def test_params_rebinding_between_rewrites():
    print(isolated("check_params_rebinding_between_rewrites", timeout=900))
