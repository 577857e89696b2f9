"""The engines queries run on: PostgreSQL (through a pool), DuckDB and SQLite.

Each engine's calls block, so they run on the gateway's worker threads, one
call at a time per client session; the event loop never waits on an engine.
Rows are fetched in batches as the client takes them, so a client's memory
in the gateway is one batch, whatever the size of its result.

Only SQL that the session hands over runs here: the rewrite of a client's
query, and the statements this module writes itself (transaction control and
cursors, holding nothing from the client but the rewrite).
"""

from __future__ import annotations

import asyncio
import itertools
import select
import sqlite3
import threading
import time
import weakref
from collections.abc import Awaitable, Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, TypeVar
from urllib.parse import parse_qsl, unquote, urlsplit

from . import values
from .errors import GatewayError, scrubbed, statement_timeout
from .wire import Field

T = TypeVar("T")
Row = list[bytes | None]


@dataclass(frozen=True, slots=True)
class Param:
    """One bound parameter as the client sent it."""

    oid: int
    fmt: int
    raw: bytes | None


class Cursor:
    """A running query: its columns, then its rows, a batch at a time."""

    fields: list[Field]
    _done: bool = False

    @property
    def done(self) -> bool:
        """No rows are left to fetch."""
        return self._done

    async def fetch(self, n: int) -> list[Row]:
        raise NotImplementedError

    async def close(self) -> None:
        raise NotImplementedError


class BackendSession:
    """One client's use of a backend: its transaction and its cursors."""

    async def describe(self, sql: str, param_oids: Sequence[int]) -> tuple[list[int], list[Field]]:
        raise NotImplementedError

    async def open(self, sql: str, params: Sequence[Param], binary: bool) -> Cursor:
        raise NotImplementedError

    async def end_transaction(self, commit: bool) -> None:
        """The client's transaction block ended (COMMIT, ROLLBACK, or an
        error outside one)."""

    def begin_block(self) -> None:
        """The client opened a transaction block: keep one snapshot until it ends."""

    def cancel(self) -> None:
        """Stop what runs now; called from the event loop, returns at once."""

    async def close(self) -> None:
        await self.end_transaction(False)


class Backend:
    dialect: str = ""
    name: str = ""

    def __init__(self, executor: ThreadPoolExecutor) -> None:
        self.executor = executor

    async def run(self, fn: Callable[[], T]) -> T:
        return await asyncio.get_running_loop().run_in_executor(self.executor, fn)

    def placeholder(self, n: int) -> str:
        return f"${n}"

    async def start(self) -> None:
        pass

    async def stop(self) -> None:
        pass

    def session(self, timeout_ms: int | None) -> BackendSession:
        raise NotImplementedError


# ---- PostgreSQL --------------------------------------------------------------------

_cursor_names = itertools.count(1)
# Rows fetched with a cursor's DECLARE, in the same round trip: a small
# result is read, and its transaction ended, in one call.
FIRST_FETCH = 100
# Rows per result of a streamed query (outside a transaction block): the
# session's batch, so a result that fits in one is read, and its connection
# given back, in the call that sends the query.
STREAM_CHUNK = 500


class _Failed(Exception):
    def __init__(self, sqlstate: str | None, message: str | None = None) -> None:
        super().__init__(sqlstate)
        self.sqlstate = sqlstate
        self.message = message


_PQ: Any = None


def _pq() -> Any:
    """psycopg's libpq module, imported on first use: a gateway in front of
    DuckDB or SQLite runs without psycopg."""
    global _PQ
    if _PQ is None:
        from psycopg import pq

        _PQ = pq
    return _PQ


def _failure(res: Any) -> _Failed:
    pq = _pq()
    code = res.error_field(pq.DiagnosticField.SQLSTATE)
    primary = res.error_field(pq.DiagnosticField.MESSAGE_PRIMARY)
    return _Failed(code.decode("ascii", "replace") if code else None,
                   primary.decode("utf-8", "replace") if primary else None)


def _pg_results(pg: Any) -> list[Any]:
    """Every result of what was just sent on ``pg``, waiting on its socket."""
    pq = _pq()
    while pg.flush():
        select.select([pg.socket], [pg.socket], [], 5.0)
        pg.consume_input()
    out: list[Any] = []
    failed: _Failed | None = None
    while True:
        while pg.is_busy():
            select.select([pg.socket], [], [], 5.0)
            pg.consume_input()
        res = pg.get_result()
        if res is None:
            break
        if res.status == pq.ExecStatus.FATAL_ERROR:
            failed = _failure(res)
        out.append(res)
    if failed is not None:
        raise failed
    return out


def _pg_pipeline(pg: Any, queries: Sequence[tuple[bytes, Sequence[Param], int]]) -> list[Any]:
    """Sends ``queries`` (text, params, result format) at once in libpq's
    pipeline mode and waits for all their answers: one round trip.  The
    last result of each query, in order; the first failure raises once the
    pipeline has been read to its end."""
    pq = _pq()
    pg.enter_pipeline_mode()
    try:
        for sql, params, result_format in queries:
            pg.send_query_params(sql, [p.raw for p in params] or None,
                                 [p.oid for p in params] or None,
                                 [p.fmt for p in params] or None, result_format)
        pg.pipeline_sync()
        while pg.flush():
            select.select([pg.socket], [pg.socket], [], 5.0)
            pg.consume_input()
        out: list[Any] = []
        last: Any = None
        failed: _Failed | None = None
        while True:
            while pg.is_busy():
                select.select([pg.socket], [], [], 5.0)
                pg.consume_input()
            res = pg.get_result()
            if res is None:
                out.append(last)
                last = None
                continue
            if res.status == pq.ExecStatus.PIPELINE_SYNC:
                break
            if res.status == pq.ExecStatus.FATAL_ERROR and failed is None:
                failed = _failure(res)
            last = res
    finally:
        pg.exit_pipeline_mode()
    if failed is not None:
        raise failed
    return out


async def _ready(fd: int, write: bool) -> None:
    """Waits on the event loop until ``fd`` can be read (or written)."""
    loop = asyncio.get_running_loop()
    ready = loop.create_future()

    def wake() -> None:
        if not ready.done():
            ready.set_result(None)

    (loop.add_writer if write else loop.add_reader)(fd, wake)
    try:
        await ready
    finally:
        (loop.remove_writer if write else loop.remove_reader)(fd)


async def _sent(pg: Any) -> None:
    """What was queued on ``pg`` is sent, reading meanwhile what the server
    says so that neither side waits on the other."""
    while pg.flush():
        await _ready(pg.socket, write=True)
        pg.consume_input()


async def _next(pg: Any) -> Any:
    """The next result on ``pg``, waiting on the event loop."""
    while pg.is_busy():
        await _ready(pg.socket, write=False)
        pg.consume_input()
    return pg.get_result()


def _can_stream() -> bool:
    """libpq hands a result over in chunks of rows (17 and later)."""
    pq = _pq()
    return pq.version() >= 170000 and hasattr(pq.PGconn, "set_chunked_rows_mode")


def _read_only(conn: Any) -> None:
    # Every transaction on a pooled connection is read-only, the implicit
    # one a streamed query runs in included; nothing the gateway sends
    # changes it back.
    conn.execute("SET default_transaction_read_only = on")


def _pg_fields(res: Any) -> list[Field]:
    return [Field(res.fname(i).decode("utf-8", "replace"), res.ftype(i), res.fsize(i),
                  res.fmod(i)) for i in range(res.nfields)]


class PostgresBackend(Backend):
    dialect = "postgres"
    name = "postgresql"

    def __init__(self, executor: ThreadPoolExecutor, conninfo: str, max_size: int = 10) -> None:
        super().__init__(executor)
        from psycopg_pool import ConnectionPool

        self.max_size = max_size
        self.pool: Any = ConnectionPool(conninfo, min_size=1, max_size=max_size, open=False,
                                        kwargs={"autocommit": True}, configure=_read_only,
                                        name="pellquist-gateway")
        self.stream = _can_stream()
        self.slots = asyncio.Semaphore(max_size)
        # The statement timeout each pooled connection has.  A rollback
        # undoes a SET made in its transaction, so it forgets the connection.
        self.timeouts: weakref.WeakKeyDictionary[Any, int] = weakref.WeakKeyDictionary()

    def idle_connection(self) -> Any:
        """A pooled connection that is idle now, or None: the event loop may
        not wait while the pool opens one."""
        from psycopg_pool import PoolTimeout

        try:
            return self.pool.getconn(timeout=0.0005)
        except PoolTimeout:
            return None

    async def start(self) -> None:
        self.slots = asyncio.Semaphore(self.max_size)  # bound to the serving loop
        await self.run(lambda: self.pool.open(wait=True, timeout=30))

    async def stop(self) -> None:
        await self.run(self.pool.close)

    def session(self, timeout_ms: int | None) -> BackendSession:
        return _PgSession(self, timeout_ms)


class _PgSession(BackendSession):
    def __init__(self, backend: PostgresBackend, timeout_ms: int | None) -> None:
        self.backend = backend
        self.timeout_ms = timeout_ms
        self.conn: Any = None
        self.block = False
        self.open_cursors = 0
        self.holding = False
        # A query outside a transaction block, still sending rows on self.conn.
        self.stream: _PgStream | None = None

    def _begin(self, conn: Any) -> list[tuple[bytes, Sequence[Param], int]]:
        """What begins a transaction on ``conn``.  The statement timeout is
        set on the connection (not LOCAL), and only when it differs from the
        one the connection has: a pooled connection serves users with
        different timeouts, one after the other."""
        queries: list[tuple[bytes, Sequence[Param], int]] = [(b"BEGIN READ ONLY", (), 0)]
        queries[:0] = self._timeout(conn)
        return queries

    def _timeout(self, conn: Any) -> list[tuple[bytes, Sequence[Param], int]]:
        timeout = int(self.timeout_ms) if self.timeout_ms else 0
        if self.backend.timeouts.get(conn) == timeout:
            return []
        self.backend.timeouts[conn] = timeout
        return [(f"SET statement_timeout = {timeout}".encode(), (), 0)]

    def _acquire(self) -> Any:
        if self.conn is None:
            conn = self.backend.pool.getconn(timeout=30)
            try:
                _pg_pipeline(conn.pgconn, self._begin(conn))
            except BaseException:
                self.backend.pool.putconn(conn)
                raise
            self.conn = conn
        return self.conn

    def _release(self, commit: bool) -> None:
        stream, self.stream = self.stream, None
        if stream is not None:
            stream.abandon()
        conn, self.conn = self.conn, None
        self.open_cursors = 0
        if conn is None:
            return
        if not commit or conn.pgconn.transaction_status != _pq().TransactionStatus.INTRANS:
            self.backend.timeouts.pop(conn, None)
        try:
            conn.pgconn.send_query(b"COMMIT" if commit else b"ROLLBACK")
            _pg_results(conn.pgconn)
        except Exception:
            pass  # a broken connection is dropped by the pool when it comes back
        self.backend.pool.putconn(conn)

    async def _slot(self) -> None:
        """Waits, on the event loop, for a connection of the pool to be free:
        a session never holds a worker thread while it waits for one."""
        if self.holding:
            return
        try:
            await asyncio.wait_for(self.backend.slots.acquire(), 30)
        except TimeoutError:
            raise GatewayError("53300", "no database connection free; try again") from None
        self.holding = True

    async def release(self, commit: bool) -> None:
        """Ends the backend transaction and gives its connection back."""
        try:
            if self.conn is not None:
                await self.backend.run(lambda: self._release(commit))
        finally:
            if self.holding and self.conn is None:
                self.holding = False
                self.backend.slots.release()

    async def _call(self, fn: Callable[[], T]) -> T:
        return await self._guard(self.backend.run(fn))

    async def _guard(self, work: Awaitable[T]) -> T:
        """Runs ``work`` on the backend; a failure ends what it broke and is
        told to the client scrubbed."""
        try:
            return await work
        except _Failed as e:
            if not self.block:
                await self.release(False)
            raise scrubbed(e.sqlstate, e.message) from None
        except GatewayError:
            raise
        except Exception as e:
            from psycopg import Error
            from psycopg_pool import PoolTimeout

            if isinstance(e, PoolTimeout):
                raise GatewayError("53300", "no database connection free; try again") from None
            if isinstance(e, Error):
                await self.release(False)
                raise GatewayError("08006", "the database connection failed") from None
            raise

    async def _park(self) -> None:
        """The connection is needed for something else while a query still
        streams on it: the rest of its rows are read into its buffer."""
        stream = self.stream
        if stream is not None:
            await self._guard(stream.drain())
            await self.release(True)  # gives the pool's slot back

    async def describe(self, sql: str, param_oids: Sequence[int]) -> tuple[list[int], list[Field]]:
        def work() -> tuple[list[int], list[Field]]:
            pg = self._acquire().pgconn
            pg.send_prepare(b"", sql.encode(), param_oids or None)
            _pg_results(pg)
            pg.send_describe_prepared(b"")
            res = _pg_results(pg)[-1]
            oids = [res.param_type(i) for i in range(res.nparams)]
            return oids, _pg_fields(res)

        await self._park()
        await self._slot()
        try:
            return await self._call(work)
        finally:
            if not self.block and self.open_cursors == 0:
                await self.release(True)

    async def open(self, sql: str, params: Sequence[Param], binary: bool) -> Cursor:
        await self._park()
        result_format = 1 if binary else 0
        if self.backend.stream and not self.block and self.conn is None:
            return await self._stream(sql, params, result_format)
        name = f"pellquist_c{next(_cursor_names)}"

        def work() -> tuple[list[Row], list[Field], bool]:
            # One round trip: the transaction begun (unless a block holds
            # it), the cursor declared and its first rows fetched.
            queries = []
            if self.conn is None:
                conn = self.backend.pool.getconn(timeout=30)
                self.conn = conn
                queries = self._begin(conn)
            queries += [(f"DECLARE {name} NO SCROLL CURSOR FOR {sql}".encode(), params, 0),
                        (f"FETCH FORWARD {FIRST_FETCH} FROM {name}".encode(), (),
                         result_format)]
            res = _pg_pipeline(self.conn.pgconn, queries)[-1]
            self.open_cursors += 1
            width = res.nfields
            rows = [[res.get_value(r, c) for c in range(width)] for r in range(res.ntuples)]
            ended = len(rows) < FIRST_FETCH and not self.block and self.open_cursors == 1
            if ended:
                # Every row is read and nothing else uses the transaction:
                # it ends now (COMMIT closes the cursor), in the same call.
                self._release(True)
            return rows, _pg_fields(res), ended

        await self._slot()
        rows, fields, ended = await self._call(work)
        if ended:
            await self.release(True)  # gives the pool's slot back
        cursor = _PgCursor(self, name, result_format)
        cursor.fields = fields
        cursor.pending = rows
        cursor.exhausted = len(rows) < FIRST_FETCH
        cursor.closed = ended
        return cursor

    async def _stream(self, sql: str, params: Sequence[Param], result_format: int) -> Cursor:
        """Outside a transaction block a query runs as it is, in its own
        implicit (read-only) transaction: one round trip for a result that
        fits in a chunk, where a cursor needs a second one to end its
        transaction.  A larger result is read a chunk at a time as the client
        takes it; the socket holds the server back meanwhile.  libpq is
        driven from the event loop (psycopg's connections do not block), so
        a query costs no hop to a worker thread."""
        stream = _PgStream(self, result_format)
        await self._slot()
        conn = self.backend.idle_connection()
        if conn is None:
            conn = await self._call(lambda: self.backend.pool.getconn(timeout=30))
        self.conn = conn

        async def work() -> list[Row]:
            pg = conn.pgconn
            for query in self._timeout(conn):
                pg.send_query(query[0])
                await _sent(pg)
                while (res := await _next(pg)) is not None:
                    if res.status == _pq().ExecStatus.FATAL_ERROR:
                        raise _failure(res)
            pg.send_query_params(sql.encode(), [p.raw for p in params] or None,
                                 [p.oid for p in params] or None,
                                 [p.fmt for p in params] or None, result_format)
            pg.set_chunked_rows_mode(STREAM_CHUNK)
            self.stream = stream
            await _sent(pg)
            return await stream.read(STREAM_CHUNK)

        stream.pending = await self._guard(work())
        if stream.finished:
            await self.release(True)  # gives the pool's slot back
        return stream

    def _finish_stream(self, stream: _PgStream) -> None:
        """The stream's result has been read to its end: its connection goes
        back to the pool."""
        if self.stream is stream:
            self.stream = None
            conn, self.conn = self.conn, None
            if conn is not None:
                self.backend.pool.putconn(conn)

    def cancel(self) -> None:
        conn = self.conn
        if conn is not None:
            threading.Thread(target=conn.cancel_safe, daemon=True).start()

    def begin_block(self) -> None:
        self.block = True

    async def end_transaction(self, commit: bool) -> None:
        self.block = False
        await self.release(commit)

    async def cursor_closed(self) -> None:
        self.open_cursors = max(0, self.open_cursors - 1)
        if not self.block and self.open_cursors <= 0:
            await self.release(True)


class _PgCursor(Cursor):
    def __init__(self, session: _PgSession, name: str, result_format: int) -> None:
        self.session = session
        self.name = name
        self.result_format = result_format
        self.fields = []
        self.pending: list[Row] = []
        self.closed = False
        self.exhausted = False

    @property
    def done(self) -> bool:
        return self.exhausted and not self.pending

    async def _fetch(self, n: int) -> list[Row]:
        def work() -> list[Row]:
            pg = self.session.conn.pgconn
            pg.send_query_params(f"FETCH FORWARD {int(n)} FROM {self.name}".encode(), None,
                                 None, None, self.result_format)
            res = _pg_results(pg)[-1]
            if not self.fields:
                self.fields = _pg_fields(res)
            width = res.nfields
            return [[res.get_value(r, c) for c in range(width)] for r in range(res.ntuples)]

        if self.session.conn is None:
            raise GatewayError("08006", "the database connection was released")
        rows = await self.session._call(work)
        if len(rows) < n:
            self.exhausted = True
        return rows

    async def fetch(self, n: int) -> list[Row]:
        if self.pending:
            rows = self.pending[:n]
            self.pending = self.pending[n:]
            if len(rows) < n and not self.exhausted:
                rows += await self._fetch(n - len(rows))
            return rows
        if self.exhausted:
            return []
        return await self._fetch(n)

    async def close(self) -> None:
        if self.closed:
            return
        self.closed = True
        session = self.session
        # Outside a block, the last open cursor is closed by the COMMIT
        # that cursor_closed sends.
        if session.conn is not None and (session.block or session.open_cursors > 1):
            def work() -> None:
                session.conn.pgconn.send_query(f"CLOSE {self.name}".encode())
                _pg_results(session.conn.pgconn)
            try:
                await session._call(work)
            except GatewayError:
                return
        await session.cursor_closed()


class _PgStream(Cursor):
    """A query sent as it is, its rows read from the connection a chunk at a
    time as the client takes them."""

    def __init__(self, session: _PgSession, result_format: int) -> None:
        self.session = session
        self.result_format = result_format
        self.fields = []
        self.pending: list[Row] = []
        self.finished = False  # read to its end; the connection is given back
        self.failed: _Failed | None = None  # met while draining, told at the next fetch
        self.failing: _Failed | None = None  # met while reading, told once the result ends

    @property
    def done(self) -> bool:
        return self.finished and not self.pending

    def _take(self, pg: Any, rows: list[Row], n: int) -> bool:
        """Moves the results libpq has read into ``rows`` until there are
        ``n``, or the result ends; True when it must wait for more input."""
        pq = _pq()
        while len(rows) < n or self.failing is not None:
            if pg.is_busy():
                return True
            res = pg.get_result()
            if res is None:
                self.finished = True
                self.session._finish_stream(self)
                break
            if res.status == pq.ExecStatus.FATAL_ERROR:
                self.failing = _failure(res)
            elif self.failing is None:
                if not self.fields:
                    self.fields = _pg_fields(res)
                width = res.nfields
                rows += [[res.get_value(r, c) for c in range(width)] for r in range(res.ntuples)]
        if self.failing is not None:
            failing, self.failing = self.failing, None
            raise failing
        return False

    async def read(self, n: int) -> list[Row]:
        """At least ``n`` rows, or the rest."""
        session = self.session
        assert session.conn is not None and session.stream is self
        pg = session.conn.pgconn
        rows: list[Row] = []
        while self._take(pg, rows, n):
            await _ready(pg.socket, write=False)
            pg.consume_input()
        return rows

    async def drain(self) -> None:
        """Reads the rest into the buffer: the connection is needed elsewhere."""
        if not self.finished:
            try:
                self.pending += await self.read(1 << 62)
            except _Failed as e:
                self.failed = e

    def abandon(self) -> None:
        """The client no longer wants the rest: the connection, in the middle
        of a result, is closed, and the pool opens another in its place.
        (Cancelling and reading to the end would keep it, but a cancel that
        arrives late would stop the next client's query.)"""
        if self.finished:
            return
        conn = self.session.conn
        self.finished = True
        self.session.stream = None
        self.session.conn = None
        self.pending = []
        if conn is not None:
            conn.close()
            self.session.backend.pool.putconn(conn)

    async def fetch(self, n: int) -> list[Row]:
        if self.failed is not None and not self.pending:
            failed, self.failed = self.failed, None
            raise scrubbed(failed.sqlstate, failed.message)
        if len(self.pending) < n and not self.finished:
            if self.session.stream is not self:
                raise GatewayError("08006", "the database connection was released")
            self.pending += await self.session._guard(self.read(n - len(self.pending)))
            if self.finished:
                await self.session.release(True)  # gives the pool's slot back
        rows, self.pending = self.pending[:n], self.pending[n:]
        return rows

    async def close(self) -> None:
        self.pending = []
        if not self.finished and self.session.stream is self:
            await self.session.release(False)


# ---- DuckDB and SQLite -----------------------------------------------------------------

class _Deadline:
    """Interrupts a blocking engine call that runs past the statement timeout."""

    def __init__(self, timeout_ms: int | None, interrupt: Callable[[], None]) -> None:
        self.end = time.monotonic() + timeout_ms / 1000 if timeout_ms else None
        self.interrupt = interrupt
        self.fired = False

    def call(self, fn: Callable[[], T]) -> T:
        if self.end is None:
            return fn()
        left = self.end - time.monotonic()
        if left <= 0:
            raise statement_timeout()

        def fire() -> None:
            self.fired = True
            self.interrupt()

        timer = threading.Timer(left, fire)
        timer.start()
        try:
            return fn()
        finally:
            timer.cancel()


class _LocalCursor(Cursor):
    """A cursor of an engine in this process (DuckDB, SQLite)."""

    def __init__(self, session: _LocalSession, cur: Any, fields: list[Field], binary: bool,
                 deadline: _Deadline) -> None:
        self.session = session
        self.cur = cur
        self.fields = fields
        self.binary = binary
        self.deadline = deadline

    def _encode(self, row: Sequence[Any]) -> Row:
        if self.binary:
            return [None if v is None else values.binary(f.type_oid, v)
                    for f, v in zip(self.fields, row)]
        return [None if v is None else values.text(v) for v in row]

    async def fetch(self, n: int) -> list[Row]:
        if self.done:
            return []
        rows = await self.session.call(self.deadline, lambda: self.cur.fetchmany(n))
        if len(rows) < n:
            self._done = True
        return [self._encode(r) for r in rows]

    async def close(self) -> None:
        self._done = True
        cur, self.cur = self.cur, None
        if cur is not None:
            await self.session.backend.run(cur.close)


class _LocalSession(BackendSession):
    def __init__(self, backend: LocalBackend, timeout_ms: int | None) -> None:
        self.backend = backend
        self.timeout_ms = timeout_ms
        self.running: Any = None

    async def call(self, deadline: _Deadline, fn: Callable[[], T]) -> T:
        try:
            return await self.backend.run(lambda: deadline.call(fn))
        except GatewayError:
            raise
        except Exception as e:
            if deadline.fired:
                raise statement_timeout() from None
            raise self.backend.failure(e) from None

    def cancel(self) -> None:
        if self.running is not None:
            try:
                self.backend.interrupt(self.running)
            except Exception:
                pass  # the cursor has closed since: nothing runs to stop

    def _params(self, params: Sequence[Param]) -> list[Any]:
        return [values.decode_param(p.oid, p.fmt, p.raw) for p in params]

    async def describe(self, sql: str, param_oids: Sequence[int]) -> tuple[list[int], list[Field]]:
        cur = await self.backend.run(self.backend.cursor)
        self.running = cur
        deadline = _Deadline(self.timeout_ms, lambda: self.backend.interrupt(cur))
        nparams = max([len(param_oids), *self.backend.param_numbers(sql)], default=0)
        try:
            wrapped = f"SELECT * FROM ({sql}) AS _describe LIMIT 0"
            fields = await self.call(deadline, lambda: self.backend.execute(cur, wrapped,
                                                                            [None] * nparams))
        finally:
            self.running = None
            await self.backend.run(cur.close)
        inferred = await self.backend.run(lambda: self.backend.param_types(sql))
        oids = [(param_oids[i] if i < len(param_oids) and param_oids[i]
                 else inferred.get(i + 1, values.TEXT)) for i in range(nparams)]
        return oids, fields

    async def open(self, sql: str, params: Sequence[Param], binary: bool) -> Cursor:
        args = self._params(params)
        cur = await self.backend.run(self.backend.cursor)
        self.running = cur
        deadline = _Deadline(self.timeout_ms, lambda: self.backend.interrupt(cur))
        try:
            fields = await self.call(deadline, lambda: self.backend.execute(cur, sql, args))
        except BaseException:
            self.running = None
            await self.backend.run(cur.close)
            raise
        return _LocalCursor(self, cur, fields, binary, deadline)


class LocalBackend(Backend):
    """An engine in this process; subclasses say how to open, run and stop."""

    def cursor(self) -> Any:
        raise NotImplementedError

    def execute(self, cur: Any, sql: str, args: list[Any]) -> list[Field]:
        raise NotImplementedError

    def interrupt(self, cur: Any) -> None:
        raise NotImplementedError

    def failure(self, error: Exception) -> GatewayError:
        return GatewayError("XX000", "the database failed to run the query")

    def param_numbers(self, sql: str) -> list[int]:
        import re

        return [int(n) for n in re.findall(r"[$?](\d+)", sql)]

    def param_types(self, sql: str) -> dict[int, int]:
        return {}

    def session(self, timeout_ms: int | None) -> BackendSession:
        return _LocalSession(self, timeout_ms)


class DuckDBBackend(LocalBackend):
    dialect = "duckdb"
    name = "duckdb"

    def __init__(self, executor: ThreadPoolExecutor, connection: Any) -> None:
        super().__init__(executor)
        self.db = connection
        self._schema: dict[str, dict[str, dict[str, str]]] | None = None

    @classmethod
    def open_file(cls, executor: ThreadPoolExecutor, path: str) -> DuckDBBackend:
        import duckdb

        db = duckdb.connect(path, read_only=True, config={"enable_external_access": False})
        db.execute("SET lock_configuration = true")
        return cls(executor, db)

    def cursor(self) -> Any:
        return self.db.cursor()

    def param_types(self, sql: str) -> dict[int, int]:
        """The types of ``sql``'s parameters where they can be told from
        what they meet: a column they are compared with, a CAST.  DuckDB
        itself knows them only once values are bound."""
        if self._schema is None:
            self._schema = {}
            for schema, table, column, kind in self.db.cursor().execute(
                    "SELECT table_schema, table_name, column_name, data_type "
                    "FROM information_schema.columns").fetchall():
                self._schema.setdefault(schema, {}).setdefault(table, {})[column] = kind
        try:
            return values.param_types(sql, self.dialect, self._schema)
        except Exception:
            return {}  # described as text, as with no inference at all

    def execute(self, cur: Any, sql: str, args: list[Any]) -> list[Field]:
        cur.execute(sql, args or None)
        return [Field(d[0], oid := values.duckdb_oid(str(d[1])), values.SIZES.get(oid, -1))
                for d in cur.description or []]

    def interrupt(self, cur: Any) -> None:
        cur.interrupt()

    def failure(self, error: Exception) -> GatewayError:
        import duckdb

        # DuckDB's exceptions carry no SQLSTATE; their class is the closest thing.
        for kind, code in ((duckdb.InterruptException, "57014"),
                           (duckdb.ConversionException, "22P02"),
                           (duckdb.OutOfRangeException, "22003"),
                           (duckdb.BinderException, "42703"),
                           (duckdb.ParserException, "42601"),
                           (duckdb.InvalidInputException, "22023"),
                           (duckdb.OutOfMemoryException, "53200")):
            if isinstance(error, kind):
                return scrubbed(code)
        if "division by zero" in str(error).lower():
            return scrubbed("22012")
        return scrubbed("XX000")

    async def stop(self) -> None:
        await self.run(self.db.close)


class SQLiteBackend(LocalBackend):
    """A SQLite file, read only.  SQLite's columns have no fixed type, so
    every column is described as text."""

    dialect = "sqlite"
    name = "sqlite"

    def __init__(self, executor: ThreadPoolExecutor, path: str) -> None:
        super().__init__(executor)
        self.path = path
        self.check = sqlite3.connect(self._uri(), uri=True)
        self.check.close()

    def _uri(self) -> str:
        from pathlib import Path

        return Path(self.path).resolve().as_uri() + "?mode=ro"

    def placeholder(self, n: int) -> str:
        return f":p{n}"

    def param_numbers(self, sql: str) -> list[int]:
        import re

        return [int(n) for n in re.findall(r":p(\d+)", sql)]

    def cursor(self) -> Any:
        db = sqlite3.connect(self._uri(), uri=True, check_same_thread=False)
        # A name in double quotes that is no column would otherwise be read
        # as a string: an error is what the query's author should see.
        db.setconfig(sqlite3.SQLITE_DBCONFIG_DQS_DML, False)
        db.setconfig(sqlite3.SQLITE_DBCONFIG_DQS_DDL, False)
        return db.cursor()

    def execute(self, cur: Any, sql: str, args: list[Any]) -> list[Field]:
        cur.execute(sql, {f"p{i}": v for i, v in enumerate(args, 1)})
        return [Field(d[0], values.TEXT) for d in cur.description or []]

    def interrupt(self, cur: Any) -> None:
        cur.connection.interrupt()

    def failure(self, error: Exception) -> GatewayError:
        if isinstance(error, sqlite3.OperationalError) and "interrupt" in str(error):
            return scrubbed("57014")
        return scrubbed("XX000")


def open_backend(url: str, executor: ThreadPoolExecutor, pool_size: int = 10) -> Backend:
    """The backend a ``--backend`` URL names: ``postgresql://...``,
    ``duckdb:///path`` or ``sqlite:///path``."""
    parts = urlsplit(url)
    scheme = parts.scheme.split("+", 1)[0].lower()
    if scheme in ("postgresql", "postgres"):
        query = dict(parse_qsl(parts.query))
        conninfo = url.replace(parts.scheme + "://", "postgresql://", 1)
        if not parts.netloc and "host" not in query:
            raise ValueError(f"{url}: name the server: postgresql://host/db or "
                             "postgresql:///db?host=/socket/dir")
        return PostgresBackend(executor, conninfo, pool_size)
    if scheme in ("duckdb", "sqlite"):
        path = unquote(parts.path)
        if parts.netloc:
            raise ValueError(f"{url}: expected {scheme}:///path/to/file (three slashes)")
        # As SQLAlchemy reads them: sqlite:///shop.db is relative,
        # sqlite:////srv/shop.db absolute.
        path = path[1:] if path.startswith("/") else path
        if not path:
            raise ValueError(f"{url}: no file named")
        if scheme == "duckdb":
            return DuckDBBackend.open_file(executor, path)
        return SQLiteBackend(executor, path)
    raise ValueError(f"{url}: unknown backend (expected postgresql://, duckdb:/// or sqlite:///)")
