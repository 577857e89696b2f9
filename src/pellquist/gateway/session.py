"""One client connection: startup, authentication, then its queries.

The session keeps what PostgreSQL keeps per connection (prepared
statements, portals, the transaction block and its settings) and never
lets a statement reach an engine without going through
:mod:`pellquist.gateway.statements`.
"""

from __future__ import annotations

import asyncio
import logging
import secrets
import ssl
from collections.abc import Container, Hashable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from . import values, wire
from .backends import BackendSession, Cursor, Param, Row
from .cache import params_key
from .errors import GatewayError
from .statements import Analyzer, Plan, split
from .users import Scram, User
from .wire import Field, ProtocolError, Reader

if TYPE_CHECKING:
    from .server import Gateway

log = logging.getLogger("pellquist.gateway")

SERVER_VERSION = "16.0"
# Rows fetched from an engine and sent at a time: what a client's result
# costs the gateway in memory, however many rows it has.
BATCH_ROWS = 500
# What one session may keep open: each statement holds its rewrite, each
# portal possibly a running query.
MAX_STATEMENTS = 1000
MAX_PORTALS = 100
# Answers are sent when this much is queued, or at a flush: after a Sync, a
# Flush, a simple query and each batch of rows.  Like PostgreSQL, the gateway
# does not flush after each Parse, Bind, Describe, Execute or Close: a client
# that waits for their answers sends a Sync or a Flush.
OUT_BUFFER = 64 * 1024
_UNFLUSHED = frozenset((b"P", b"B", b"D", b"E", b"C"))
# Descriptions a plan keeps, one per set of parameter types a client gave.
MAX_DESCRIPTIONS = 8


@dataclass
class Statement:
    sql: str
    plan: Plan
    param_oids: list[int]
    described: tuple[list[int], list[Field]] | None = None


class _StaticCursor(Cursor):
    """Rows the gateway makes itself (SHOW, version())."""

    def __init__(self, fields: list[Field], rows: list[list[Any]], binary: bool) -> None:
        self.fields = fields
        self.rows = rows
        self.binary = binary

    async def fetch(self, n: int) -> list[Row]:
        taken, self.rows = self.rows[:n], self.rows[n:]
        self._done = not self.rows
        out: list[Row] = []
        for row in taken:
            out.append([None if v is None else values.binary(f.type_oid, v) if self.binary
                        else values.text(v) for f, v in zip(self.fields, row)])
        return out

    async def close(self) -> None:
        self.rows = []


@dataclass
class Portal:
    plan: Plan
    params: list[Param]
    formats: list[int]
    cursor: Cursor | None = None
    sent: int = 0
    fields: list[Field] = field(default_factory=list)


class Session:
    def __init__(self, gateway: Gateway, reader: asyncio.StreamReader,
                 writer: asyncio.StreamWriter) -> None:
        self.gateway = gateway
        self.reader = reader
        self.writer = writer
        peer = writer.get_extra_info("peername")
        self.peer = str(peer[0]) if isinstance(peer, tuple) and peer else "local"
        self.pid = 0
        self.key = 0
        self.user: User | None = None
        self.status = "I"
        self.statements: dict[str, Statement] = {}
        self.portals: dict[str, Portal] = {}
        self.settings: dict[str, str] = {}
        self.local_settings: dict[str, str] = {}
        self.skipping = False
        self.backend: BackendSession | None = None
        self.shadow: BackendSession | None = None
        self.analyzer: Analyzer | None = None
        self.params_key: Hashable = ()
        self.tls = False
        self.out: list[bytes] = []
        self.out_size = 0

    # ---- output ----------------------------------------------------------------

    def send(self, data: bytes) -> None:
        """Queues ``data`` for the client; it goes out at the next flush, or
        at once when much is queued."""
        self.out.append(data)
        self.out_size += len(data)
        if self.out_size >= OUT_BUFFER:
            self._write()

    def _write(self) -> None:
        if self.out:
            self.writer.write(b"".join(self.out) if len(self.out) > 1 else self.out[0])
            self.out = []
            self.out_size = 0

    async def flush(self) -> None:
        self._write()
        await self.writer.drain()

    def send_error(self, error: GatewayError) -> None:
        self.send(wire.error_response(error.sqlstate, error.message,
                                      "FATAL" if error.fatal else "ERROR"))

    # ---- life cycle --------------------------------------------------------------

    async def run(self) -> None:
        settings = self.gateway.settings
        try:
            try:
                ok = await asyncio.wait_for(self.handshake(), settings.handshake_timeout)
            except TimeoutError:
                self.send_error(GatewayError("08006", "timeout during authentication",
                                             fatal=True))
                return
            if ok:
                await self.serve()
        except GatewayError as e:
            self.send_error(e)
        except ProtocolError as e:
            self.send_error(GatewayError(e.sqlstate, str(e), fatal=True))
        except (asyncio.IncompleteReadError, ConnectionError, ssl.SSLError):
            pass
        except Exception:
            # A fault of the gateway: the client is told no more than that.
            log.exception("session %d (%s): internal error", self.pid, self.peer)
            try:
                self.send_error(GatewayError("XX000", "internal error in the gateway",
                                             fatal=True))
            except (ConnectionError, RuntimeError):
                pass
        finally:
            await self.cleanup()

    async def cleanup(self) -> None:
        for portal in list(self.portals.values()):
            await self._drop(portal)
        self.portals.clear()
        for part in (self.backend, self.shadow):
            if part is not None:
                try:
                    await part.close()
                except Exception:
                    pass
        self.gateway.leave(self)
        try:
            await self.flush()
            self.writer.close()
            await self.writer.wait_closed()
        except (ConnectionError, ssl.SSLError, RuntimeError):
            pass

    # ---- startup and authentication --------------------------------------------------

    async def handshake(self) -> bool:
        while True:
            code, body = await wire.read_startup(self.reader)
            if code == wire.SSL_REQUEST:
                context = self.gateway.settings.tls
                if context is not None and not self.tls:
                    self.send(b"S")
                    await self.flush()
                    await self.writer.start_tls(context)
                    self.tls = True
                else:
                    self.send(b"N")
                    await self.flush()
                continue
            if code == wire.GSSENC_REQUEST:
                self.send(b"N")
                await self.flush()
                continue
            if code == wire.CANCEL_REQUEST:
                pid, key = body.int32(), body.uint32()
                self.gateway.cancel(pid, key)
                return False
            if code >> 16 != 3:
                raise ProtocolError(f"unsupported frontend protocol {code >> 16}.{code & 0xFFFF}: "
                                    "server supports 3.0", "0A000")
            params = wire.startup_params(body)
            unknown = sorted(k for k in params if k.startswith("_pq_."))
            if code & 0xFFFF or unknown:
                # Only 3.0 is spoken: say so, and go on in it.
                payload = ((0).to_bytes(4, "big") + len(unknown).to_bytes(4, "big")
                           + b"".join(wire.cstr(u) for u in unknown))
                self.send(wire.message(b"v", payload))
            break
        if self.gateway.settings.tls_required and not self.tls:
            raise GatewayError("28000", "the gateway accepts only TLS connections", fatal=True)
        name = params.get("user", "")
        if not name:
            raise GatewayError("28000", "no PostgreSQL user name specified in startup packet",
                               fatal=True)
        user = await self.authenticate(name)
        self.user = user
        refusal = self.gateway.admit(self)
        if refusal:
            raise GatewayError("53300", refusal, fatal=True)
        self.params_key = params_key(user.params)
        self.analyzer = Analyzer(self.gateway.catalogue, user.params,
                                 self.gateway.backend.dialect, self.gateway.backend.placeholder)
        timeout = user.statement_timeout_ms or self.gateway.settings.statement_timeout_ms
        self.backend = self.gateway.backend.session(timeout)
        self.shadow = self.gateway.shadow.session(timeout)
        self.send(wire.auth_ok())
        self.settings = {
            "server_version": SERVER_VERSION, "server_encoding": "UTF8",
            "client_encoding": "UTF8", "DateStyle": "ISO, MDY", "integer_datetimes": "on",
            "standard_conforming_strings": "on", "TimeZone": "UTC", "IntervalStyle": "postgres",
            "application_name": params.get("application_name", ""), "is_superuser": "off",
            "session_authorization": name, "default_transaction_read_only": "on",
            "in_hot_standby": "off",
        }
        for setting, value in self.settings.items():
            self.send(wire.parameter_status(setting, value))
        self.send(wire.backend_key_data(self.pid, self.key))
        self.send(wire.ready_for_query(self.status))
        await self.flush()
        return True

    async def authenticate(self, name: str) -> User:
        """The user, after a SCRAM-SHA-256 exchange that has the same shape
        whether the user exists or not."""
        gateway = self.gateway
        user = gateway.users.get(name)
        self.send(wire.auth_sasl(["SCRAM-SHA-256"]))
        await self.flush()
        kind, body = await wire.read_message(self.reader, wire.MAX_STARTUP)
        if kind != b"p":
            raise ProtocolError("expected SASL response")
        r = Reader(body)
        mechanism = r.cstring()
        length = r.int32()
        first = r.bytes_(length) if length >= 0 else b""
        if mechanism != "SCRAM-SHA-256":
            raise GatewayError("28000", "SASL authentication mechanism not supported", fatal=True)
        scram = Scram(user.verifier if user else None, name, gateway.verifier_shape)
        try:
            server_first = scram.first(first.decode("utf-8"))
        except (ValueError, UnicodeDecodeError):
            raise GatewayError("08P01", "malformed SCRAM message", fatal=True) from None
        self.send(wire.auth_sasl_continue(server_first.encode()))
        await self.flush()
        kind, body = await wire.read_message(self.reader, wire.MAX_STARTUP)
        if kind != b"p":
            raise ProtocolError("expected SASL response")
        try:
            final = scram.final(body.decode("utf-8"))
        except UnicodeDecodeError:
            final = None
        blocked = gateway.limiter.blocked(name, self.peer)
        if final is None or user is None or blocked:
            log.info("failed login for user %r from %s%s", name, self.peer,
                     " (rate limited)" if blocked else "")
            gateway.limiter.failed(name, self.peer)
            await asyncio.sleep(gateway.settings.failure_delay)
            raise GatewayError("28P01", f'password authentication failed for user "{name}"',
                               fatal=True)
        self.send(wire.auth_sasl_final(final.encode()))
        return user

    # ---- the query loop ----------------------------------------------------------------

    async def serve(self) -> None:
        settings = self.gateway.settings
        while True:
            idle = settings.idle_in_transaction_timeout if self.status != "I" else None
            try:
                if idle is None:
                    kind, body = await wire.read_message(self.reader, settings.max_message)
                else:
                    kind, body = await asyncio.wait_for(
                        wire.read_message(self.reader, settings.max_message), idle)
            except TimeoutError:
                raise GatewayError("25P03", "terminating connection due to idle-in-transaction "
                                   "timeout", fatal=True) from None
            if kind == b"X":
                return
            if kind == b"Q":
                await self.simple_query(body)
            elif kind == b"S":
                await self.sync()
            elif kind == b"H":
                await self.flush()
            elif kind in (b"P", b"B", b"D", b"E", b"C"):
                if self.skipping:
                    continue
                try:
                    await self.extended(kind, Reader(body))
                except GatewayError as e:
                    if e.fatal:
                        raise
                    self.send_error(e)
                    self.skipping = True
                    await self.failed()
            else:
                raise ProtocolError(f"invalid frontend message type {kind!r}")
            if kind not in _UNFLUSHED:
                await self.flush()

    async def failed(self) -> None:
        if self.status == "T":
            self.status = "E"
        elif self.status == "I":
            await self._end_transaction(False)

    async def sync(self) -> None:
        self.skipping = False
        if self.status == "I":
            await self._close_portals()
        self.send(wire.ready_for_query(self.status))

    async def simple_query(self, body: bytes) -> None:
        r = Reader(body)
        text = r.cstring()
        assert self.analyzer is not None
        # A simple query's unnamed statement and portal go, as in PostgreSQL.
        self.statements.pop("", None)
        await self._drop(self.portals.pop("", None))
        try:
            parts = self.gateway.splits.get(text)
            if parts is None:
                parts = split(text, self.analyzer.dialect)
                self.gateway.splits.put(text, parts, text)
            if not parts:
                self.send(wire.empty_query())
            for sql in parts:
                plan = await self.analyze(sql, extended=False)
                portal = Portal(plan, [], [0])
                try:
                    await self.execute(portal, 0, describe=True)
                finally:
                    await self._drop(portal)
        except GatewayError as e:
            self.send_error(e)
            if e.fatal:
                raise
            await self.failed()
        if self.status == "I":
            await self._close_portals()
        self.send(wire.ready_for_query(self.status))

    # ---- the extended protocol ------------------------------------------------------------

    async def extended(self, kind: bytes, r: Reader) -> None:
        assert self.analyzer is not None
        if kind == b"P":
            name, sql = r.cstring(), r.cstring()
            oids = [r.uint32() for _ in range(r.int16())]
            r.done()
            if name and name in self.statements:
                raise GatewayError("42P05", f'prepared statement "{name}" already exists')
            if len(self.statements) >= MAX_STATEMENTS:
                raise GatewayError("54000", f"more than {MAX_STATEMENTS} prepared statements "
                                   "in one session; close some")
            plan = await self.analyze(sql, extended=True)
            self._check_aborted(plan)
            self.statements[name] = Statement(sql, plan, oids)
            self.send(wire.parse_complete())
        elif kind == b"B":
            await self.bind(r)
        elif kind == b"D":
            what, name = r.byte(), r.cstring()
            r.done()
            if what == b"S":
                await self.describe_statement(self._statement(name))
            elif what == b"P":
                portal = self._portal(name)
                await self._open(portal)
                if portal.fields:
                    self.send(wire.row_description(portal.fields, self._formats(portal)))
                else:
                    self.send(wire.no_data())
            else:
                raise ProtocolError("invalid DESCRIBE message subtype")
        elif kind == b"E":
            name, limit = r.cstring(), r.int32()
            r.done()
            portal = self._portal(name)
            await self.execute(portal, max(limit, 0), describe=False)
        elif kind == b"C":
            what, name = r.byte(), r.cstring()
            r.done()
            if what == b"S":
                self.statements.pop(name, None)
            elif what == b"P":
                await self._drop(self.portals.pop(name, None))
            else:
                raise ProtocolError("invalid CLOSE message subtype")
            self.send(wire.close_complete())

    async def analyze(self, sql: str, extended: bool) -> Plan:
        """The plan of one statement, from the rewrite cache when this tenant
        sent the same text before.  Otherwise the rewrite parses and walks
        the query, which for a long one takes a good part of a second: it
        runs on a worker thread, and the other sessions go on meanwhile."""
        analyzer = self.analyzer
        assert analyzer is not None
        gateway = self.gateway
        key = gateway.cache.key(gateway.catalogue_version, self.params_key, sql,
                                analyzer.dialect, extended)
        plan = gateway.cache.get(key)
        if plan is not None:
            return plan
        plan = await asyncio.get_running_loop().run_in_executor(
            gateway.executor, lambda: analyzer.analyze(sql, extended))
        gateway.cache.put(key, plan, sql)
        return plan

    def _statement(self, name: str) -> Statement:
        statement = self.statements.get(name)
        if statement is None:
            raise GatewayError("26000", f'prepared statement "{name}" does not exist')
        return statement

    def _portal(self, name: str) -> Portal:
        portal = self.portals.get(name)
        if portal is None:
            raise GatewayError("34000", f'portal "{name}" does not exist')
        return portal

    async def bind(self, r: Reader) -> None:
        portal_name, statement_name = r.cstring(), r.cstring()
        formats = [r.int16() for _ in range(r.int16())]
        raw: list[bytes | None] = []
        for _ in range(r.int16()):
            length = r.int32()
            raw.append(None if length < 0 else r.bytes_(length))
        result_formats = [r.int16() for _ in range(r.int16())]
        r.done()
        statement = self._statement(statement_name)
        self._check_aborted(statement.plan)
        if any(f not in (0, 1) for f in formats + result_formats):
            raise ProtocolError("invalid format code")
        plan = statement.plan
        if len(raw) != plan.nparams:
            raise GatewayError("08P01", f"bind message supplies {len(raw)} parameters, but "
                               f"prepared statement requires {plan.nparams}")
        if len(formats) not in (0, 1, len(raw)):
            raise ProtocolError("wrong number of parameter format codes")
        # A type the client left open is the one Describe told it.
        described = statement.described[0] if statement.described else []
        oids = [(statement.param_oids[i] if i < len(statement.param_oids)
                 and statement.param_oids[i] else described[i] if i < len(described) else 0)
                for i in range(len(raw))]
        params = [Param(oids[i] if i < len(oids) else 0,
                        (formats[i] if len(formats) > 1 else formats[0]) if formats else 0, v)
                  for i, v in enumerate(raw)]
        if portal_name and portal_name in self.portals:
            raise GatewayError("42P03", f'cursor "{portal_name}" already exists')
        await self._drop(self.portals.pop(portal_name, None))
        if len(self.portals) >= MAX_PORTALS:
            raise GatewayError("54000", f"more than {MAX_PORTALS} open portals in one session")
        self.portals[portal_name] = Portal(plan, params, result_formats or [0])
        self.send(wire.bind_complete())

    async def describe_statement(self, statement: Statement) -> None:
        plan = statement.plan
        engine = self._engine(plan)
        if engine is None:
            self.send(wire.parameter_description([]))
            fields = self._local_fields(plan)
            self.send(wire.row_description(fields, [0] * len(fields)) if fields
                      else wire.no_data())
            return
        if statement.described is None:
            target = plan.inner if plan.kind == "declare" and plan.inner else plan
            given = tuple(statement.param_oids)
            found = target.descriptions.get(given)
            if found is None:
                found = await engine.describe(self._sql(target), statement.param_oids)
                if len(target.descriptions) < MAX_DESCRIPTIONS:
                    target.descriptions[given] = found
            oids, fields = found
            statement.described = (oids, [] if plan.kind == "declare" else fields)
        oids, fields = statement.described
        self.send(wire.parameter_description(oids))
        self.send(wire.row_description(fields, [0] * len(fields)) if fields else wire.no_data())

    def _engine(self, plan: Plan) -> BackendSession | None:
        target = plan.inner if plan.kind == "declare" and plan.inner else plan
        if target.kind == "wall":
            return self.backend
        if target.kind == "shadow":
            return self.shadow
        return None

    def _sql(self, plan: Plan) -> str:
        """What the plan's engine runs: the rewrite, or a checked catalogue query."""
        return self.gateway.shadow.check(plan.sql) if plan.kind == "shadow" else plan.sql

    def _formats(self, portal: Portal) -> list[int]:
        n = len(portal.fields)
        if len(portal.formats) == 1:
            return portal.formats * n
        if len(portal.formats) != n:
            raise ProtocolError(f"bind message has {len(portal.formats)} result formats but "
                                f"query has {n} columns")
        return portal.formats

    def _check_aborted(self, plan: Plan | None) -> None:
        if self.status == "E" and not (plan is not None and plan.kind == "transaction"
                                       and plan.verb in ("ROLLBACK", "COMMIT", "ROLLBACK TO")):
            raise GatewayError("25P02", "current transaction is aborted, commands ignored until "
                               "end of transaction block")

    # ---- running a plan ----------------------------------------------------------------

    async def _open(self, portal: Portal) -> None:
        """Starts the portal's query if it reads rows and has not started."""
        if portal.cursor is not None:
            return
        plan = portal.plan
        binary = bool(portal.formats) and all(f == 1 for f in portal.formats)
        if not binary and any(f == 1 for f in portal.formats):
            raise GatewayError("0A000", "results with both text and binary columns are not "
                               "supported; ask for one format")
        if plan.kind in ("wall", "shadow"):
            engine = self._engine(plan)
            assert engine is not None
            portal.cursor = await engine.open(self._sql(plan), portal.params, binary)
            portal.fields = portal.cursor.fields
        elif plan.kind in ("show", "function"):
            fields, rows = self._local_rows(plan)
            portal.cursor = _StaticCursor(fields, rows, binary)
            portal.fields = fields
        elif plan.kind == "fetch":
            target = self.portals.get(plan.name)
            if target is None or target.cursor is None:
                raise GatewayError("34000", f'cursor "{plan.name}" does not exist')
            portal.fields = target.fields
            portal.cursor = _Forward(target, binary)

    async def execute(self, portal: Portal, limit: int, describe: bool) -> None:
        plan = portal.plan
        self._check_aborted(plan)
        if plan.kind == "empty":
            self.send(wire.empty_query())
            return
        if not plan.returns_rows:
            tag = await self.run_command(plan, portal)
            self.send(wire.command_complete(tag))
            return
        if plan.kind == "fetch" and plan.count is not None:
            limit = plan.count if not limit else min(limit, plan.count)
        await self._open(portal)
        if describe:
            self.send(wire.row_description(portal.fields, self._formats(portal)))
        cursor = portal.cursor
        assert cursor is not None
        want = limit or None
        sent = 0
        while want is None or sent < want:
            batch = BATCH_ROWS if want is None else min(BATCH_ROWS, want - sent)
            rows = await cursor.fetch(batch)
            for row in rows:
                self.send(wire.data_row(row))
            sent += len(rows)
            if len(rows) < batch:
                break
            # More to come: this batch goes out first, at the client's pace.
            await self.flush()
        portal.sent += sent
        if plan.kind == "fetch":
            self.send(wire.command_complete(f"FETCH {sent}"))
        elif limit and sent == limit and not cursor.done:
            self.send(wire.portal_suspended())
        else:
            self.send(wire.command_complete(f"SELECT {portal.sent}"))

    def _local_fields(self, plan: Plan) -> list[Field]:
        if plan.kind in ("show", "function"):
            return self._local_rows(plan)[0]
        return []

    def _local_rows(self, plan: Plan) -> tuple[list[Field], list[list[Any]]]:
        assert self.user is not None
        if plan.kind == "function":
            value: Any = {
                "version": f"PostgreSQL {SERVER_VERSION} (pellquist gateway)",
                "current_schema": "public", "pg_backend_pid": self.pid,
                "current_user": self.user.name, "session_user": self.user.name,
                "current_database": "pellquist",
            }[plan.name]
            oid = values.INT4 if plan.name == "pg_backend_pid" else values.TEXT
            return [Field(plan.name, oid, values.SIZES.get(oid, -1))], [[value]]
        shown = self._show_values()
        if plan.name == "all":
            return ([Field("name", values.TEXT), Field("setting", values.TEXT),
                     Field("description", values.TEXT)],
                    [[k, v, ""] for k, v in sorted(shown.items())])
        name = {"time zone": "timezone",
                "transaction isolation level": "transaction_isolation"}.get(plan.name, plan.name)
        if name not in shown:
            raise GatewayError("42704", f'unrecognized configuration parameter "{plan.name}"')
        return [Field(name, values.TEXT)], [[shown[name]]]

    def _show_values(self) -> dict[str, str]:
        shown = {k.lower(): v for k, v in self.settings.items()}
        shown.update({"search_path": '"$user", public', "transaction_isolation": "read committed",
                      "transaction_read_only": "on", "max_identifier_length": "63",
                      "statement_timeout": str(self.gateway.settings.statement_timeout_ms),
                      "lc_collate": "C", "lc_ctype": "C", "extra_float_digits": "1"})
        shown.update({k.lower(): v for k, v in self.local_settings.items()})
        return shown

    async def run_command(self, plan: Plan, portal: Portal) -> str:
        if plan.kind == "transaction":
            return await self.transaction(plan.verb)
        if plan.kind == "set":
            if plan.name:
                self.local_settings[plan.name] = plan.value
                reported = {k.lower(): k for k in self.settings}
                if plan.name in reported:
                    self.settings[reported[plan.name]] = plan.value
                    self.send(wire.parameter_status(reported[plan.name], plan.value))
            return "SET"
        if plan.kind == "reset":
            if plan.name == "all":
                self.local_settings.clear()
            else:
                self.local_settings.pop(plan.name, None)
            return "RESET"
        if plan.kind == "discard":
            if self.status != "I":
                raise GatewayError("25001", "DISCARD ALL cannot run inside a transaction block")
            self.local_settings.clear()
            self.statements = {k: v for k, v in self.statements.items() if k == ""}
            await self._close_portals()
            return "DISCARD ALL"
        if plan.kind == "deallocate":
            if plan.name:
                if self.statements.pop(plan.name, None) is None:
                    raise GatewayError("26000", f'prepared statement "{plan.name}" does not exist')
            else:
                self.statements = {k: v for k, v in self.statements.items() if k == ""}
            return "DEALLOCATE" + ("" if plan.name else " ALL")
        if plan.kind == "declare":
            return await self.declare(plan, portal)
        if plan.kind == "close":
            if plan.name:
                if plan.name not in self.portals:
                    raise GatewayError("34000", f'cursor "{plan.name}" does not exist')
                await self._drop(self.portals.pop(plan.name))
            else:
                await self._close_portals()
            return "CLOSE CURSOR" + ("" if plan.name else " ALL")
        if plan.kind == "move":
            target = self.portals.get(plan.name)
            if target is None or target.cursor is None:
                raise GatewayError("34000", f'cursor "{plan.name}" does not exist')
            moved = 0
            while plan.count is None or moved < plan.count:
                step = BATCH_ROWS if plan.count is None else min(BATCH_ROWS, plan.count - moved)
                rows = await target.cursor.fetch(step)
                moved += len(rows)
                if len(rows) < step:
                    break
            return f"MOVE {moved}"
        raise GatewayError("0A000", "statement not supported")

    async def declare(self, plan: Plan, portal: Portal) -> str:
        assert plan.inner is not None
        if plan.extra.get("hold"):
            # A held cursor outlives its transaction, and with it the pooled
            # connection its rows come from.
            raise GatewayError("0A000", "cursors WITH HOLD are not supported")
        if self.status == "I":
            raise GatewayError("25P01", "DECLARE CURSOR can only be used in transaction blocks")
        if plan.name in self.portals:
            raise GatewayError("42P03", f'cursor "{plan.name}" already exists')
        binary = bool(plan.extra.get("binary"))
        cursor_portal = Portal(plan.inner, portal.params, [1 if binary else 0])
        await self._open(cursor_portal)
        self.portals[plan.name] = cursor_portal
        return "DECLARE CURSOR"

    async def transaction(self, verb: str) -> str:
        if verb == "BEGIN":
            if self.status != "I":
                self.send(wire.notice_response("25001", "there is already a transaction in "
                                               "progress", "WARNING"))
            else:
                self.status = "T"
                assert self.backend is not None
                self.backend.begin_block()
            return "BEGIN"
        if verb in ("COMMIT", "ROLLBACK"):
            if self.status == "I":
                self.send(wire.notice_response("25P01", "there is no transaction in progress",
                                               "WARNING"))
                return verb
            failed = self.status == "E"
            await self._end_transaction(verb == "COMMIT" and not failed)
            return "ROLLBACK" if failed else verb
        if self.status == "I":
            raise GatewayError("25P01", f"{verb} can only be used in transaction blocks")
        if verb == "SAVEPOINT":
            return "SAVEPOINT"
        if verb == "RELEASE":
            return "RELEASE"
        # ROLLBACK TO: the block goes on, on a fresh snapshot: the engines'
        # read-only transactions have nothing to undo.
        assert self.backend is not None
        await self.backend.end_transaction(False)
        self.backend.begin_block()
        self.status = "T"
        return "ROLLBACK"

    async def _end_transaction(self, commit: bool) -> None:
        self.status = "I"
        await self._close_portals()
        if self.backend is not None:
            await self.backend.end_transaction(commit)
        if self.shadow is not None:
            await self.shadow.end_transaction(commit)

    async def _close_portals(self) -> None:
        for name in list(self.portals):
            await self._drop(self.portals.pop(name))

    async def _drop(self, portal: Portal | None) -> None:
        if portal is not None and portal.cursor is not None:
            cursor, portal.cursor = portal.cursor, None
            try:
                await cursor.close()
            except GatewayError:
                pass

    def cancel(self) -> None:
        for part in (self.backend, self.shadow):
            if part is not None:
                try:
                    part.cancel()
                except Exception:
                    # A cancel request is answered with nothing, whatever
                    # happens to it; the other engine is still cancelled.
                    log.exception("session %d: cancelling failed", self.pid)


class _Forward(Cursor):
    """FETCH on a declared cursor: its rows, in the format the FETCH asks for
    (a declared cursor's own format is text unless BINARY)."""

    def __init__(self, target: Portal, binary: bool) -> None:
        self.target = target
        self.fields = target.fields
        if binary and target.formats != [1]:
            raise GatewayError("0A000", "FETCH in binary from a text cursor is not supported")

    async def fetch(self, n: int) -> list[Row]:
        assert self.target.cursor is not None
        rows = await self.target.cursor.fetch(n)
        self._done = self.target.cursor.done
        return rows

    async def close(self) -> None:
        pass


# The process id a client is given carries the worker that serves it in its
# high bits, so any worker can tell where a cancel request belongs.
WORKER_SHIFT = 23
MAX_WORKERS = 2 ** (31 - WORKER_SHIFT)


def new_keys(taken: Container[int], worker: int = 0) -> tuple[int, int]:
    """A process id no session has, naming ``worker``, and a secret key for
    cancel requests."""
    if not 0 <= worker < MAX_WORKERS:
        raise ValueError(f"worker {worker}: at most {MAX_WORKERS} workers")
    while True:
        pid = (worker << WORKER_SHIFT) | (secrets.randbelow(2 ** WORKER_SHIFT - 1) + 1)
        if pid not in taken:
            return pid, secrets.randbits(32)


def worker_of(pid: int) -> int:
    """The worker whose session has process id ``pid``."""
    return (pid & 0x7FFFFFFF) >> WORKER_SHIFT
