"""The gateway: a listening socket, its sessions, and the limits over them."""

from __future__ import annotations

import asyncio
import hmac
import logging
import os
import ssl
import struct
from collections.abc import Mapping
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

from ..models import Catalogue
from .backends import Backend
from .cache import DEFAULT_SIZE, LRU, RewriteCache, catalogue_digest
from .session import Session, new_keys, worker_of
from .shadow import Shadow
from .users import FailureLimiter, User, usual_shape
from .wire import CANCEL_REQUEST, DEFAULT_MAX_MESSAGE

log = logging.getLogger("pellquist.gateway")


def cancel_path(directory: str, worker: int) -> str:
    """The unix socket on which worker ``worker`` takes passed-on cancel requests."""
    return os.path.join(directory, f"cancel-{worker}")


@dataclass
class Settings:
    host: str = "127.0.0.1"
    port: int = 6543
    max_message: int = DEFAULT_MAX_MESSAGE
    # Startup and SCRAM must be over within this many seconds.
    handshake_timeout: float = 10.0
    idle_in_transaction_timeout: float | None = 300.0
    statement_timeout_ms: int | None = 60_000
    max_connections_per_tenant: int = 20
    max_connections: int = 500
    failure_limit: int = 5
    failure_window: float = 60.0
    # How long a failed login waits before it is told: it slows guessing.
    failure_delay: float = 0.25
    tls: ssl.SSLContext | None = None
    tls_required: bool = False
    # Plans kept by the rewrite cache (0: every statement is rewritten).
    rewrite_cache_size: int = DEFAULT_SIZE
    # Scale-out (pellquist serve --workers N): this process is worker
    # ``worker`` of ``workers``, all listening on one port (SO_REUSEPORT);
    # each also listens on ``cancel_dir``/<worker> for cancel requests that
    # reached another worker.
    worker: int = 0
    workers: int = 1
    cancel_dir: str | None = None


def tls_context(cert: str, key: str) -> ssl.SSLContext:
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    return context


class Gateway:
    """Serves ``catalogue`` to ``users`` over ``backend``."""

    def __init__(self, catalogue: Catalogue, users: Mapping[str, User], backend: Backend,
                 settings: Settings | None = None, executor: ThreadPoolExecutor | None = None
                 ) -> None:
        self.settings = settings or Settings()
        if catalogue.dialect and catalogue.dialect != backend.dialect:
            raise ValueError(f"the catalogue is written for {catalogue.dialect!r}, but the "
                             f"backend is {backend.name} ({backend.dialect!r})")
        self.catalogue = catalogue
        self.catalogue_version = catalogue_digest(catalogue)
        self.cache = RewriteCache(self.settings.rewrite_cache_size)
        # A simple query's text split into its statements (the split reads
        # no params and no catalogue).
        self.splits: LRU[list[str]] = LRU(self.settings.rewrite_cache_size)
        self.users = dict(users)
        # What an unknown user's made-up verifier looks like.
        self.verifier_shape = usual_shape(self.users)
        self.backend = backend
        self.executor = executor or backend.executor
        self.shadow = Shadow(self.executor, catalogue)
        self.limiter = FailureLimiter(self.settings.failure_limit, self.settings.failure_window)
        self.sessions: dict[int, Session] = {}
        self.tenants: dict[Any, int] = {}
        self.server: asyncio.Server | None = None
        self.cancel_server: asyncio.Server | None = None
        self._tasks: set[asyncio.Task[None]] = set()

    @property
    def port(self) -> int:
        assert self.server is not None
        port: int = self.server.sockets[0].getsockname()[1]
        return port

    async def start(self) -> None:
        await self.backend.start()
        settings = self.settings
        if settings.cancel_dir is not None:
            # Only cancel requests come here, passed on by the other workers.
            self.cancel_server = await asyncio.start_unix_server(
                self._passed_on, cancel_path(settings.cancel_dir, settings.worker))
        self.server = await asyncio.start_server(self._connected, settings.host, settings.port,
                                                 limit=2 ** 16,
                                                 reuse_port=settings.workers > 1)

    async def close(self) -> None:
        if self.server is not None:
            self.server.close()
        if self.cancel_server is not None:
            self.cancel_server.close()
        for task in list(self._tasks):
            task.cancel()
        if self._tasks:
            await asyncio.gather(*self._tasks, return_exceptions=True)
        if self.server is not None:
            await self.server.wait_closed()
        await self.backend.stop()
        await self.shadow.stop()

    async def _connected(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter
                         ) -> None:
        session = Session(self, reader, writer)
        task = asyncio.current_task()
        if task is not None:
            self._tasks.add(task)
        try:
            await session.run()
        except asyncio.CancelledError:
            pass  # the gateway is closing; the session has cleaned up after itself
        finally:
            if task is not None:
                self._tasks.discard(task)

    def admit(self, session: Session) -> str | None:
        """Registers a logged-in session, or says why it may not run."""
        user = session.user
        assert user is not None
        if len(self.sessions) >= self.settings.max_connections:
            return "sorry, too many clients already"
        cap = user.max_connections or self.settings.max_connections_per_tenant
        if self.tenants.get(user.tenant, 0) >= cap:
            return "too many connections for this tenant"
        session.pid, session.key = new_keys(self.sessions, self.settings.worker)
        self.sessions[session.pid] = session
        self.tenants[user.tenant] = self.tenants.get(user.tenant, 0) + 1
        return None

    def leave(self, session: Session) -> None:
        if self.sessions.get(session.pid) is session:
            del self.sessions[session.pid]
            assert session.user is not None
            left = self.tenants.get(session.user.tenant, 1) - 1
            if left:
                self.tenants[session.user.tenant] = left
            else:
                self.tenants.pop(session.user.tenant, None)

    def cancel(self, pid: int, key: int) -> None:
        """A CancelRequest: the query of session ``pid`` is cancelled if
        ``key`` is its key.  A pid of another worker's session (the worker
        is in its high bits) is passed on to that worker, which checks the key."""
        owner = worker_of(pid)
        settings = self.settings
        if owner != settings.worker:
            if settings.cancel_dir is not None and owner < settings.workers:
                task = asyncio.get_running_loop().create_task(
                    self._pass_on(owner, pid, key))
                self._tasks.add(task)
                task.add_done_callback(self._tasks.discard)
            return
        self._cancel_here(pid, key)

    async def _pass_on(self, owner: int, pid: int, key: int) -> None:
        assert self.settings.cancel_dir is not None
        try:
            _, writer = await asyncio.wait_for(asyncio.open_unix_connection(
                cancel_path(self.settings.cancel_dir, owner)), 5)
            writer.write(struct.pack("!iiiI", 16, CANCEL_REQUEST, pid, key))
            await writer.drain()
            writer.close()
            await writer.wait_closed()
            log.info("cancel request for a session of worker %d passed on", owner)
        except (OSError, TimeoutError):
            log.warning("cancel request for a session of worker %d could not be passed on",
                        owner)

    async def _passed_on(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter
                         ) -> None:
        try:
            data = await asyncio.wait_for(reader.readexactly(16), 5)
            length, code, pid, key = struct.unpack("!iiiI", data)
            if length == 16 and code == CANCEL_REQUEST and worker_of(pid) == self.settings.worker:
                self._cancel_here(pid, key)
        except (asyncio.IncompleteReadError, OSError, TimeoutError):
            pass
        finally:
            writer.close()

    def _cancel_here(self, pid: int, key: int) -> None:
        session = self.sessions.get(pid)
        if session is not None and hmac.compare_digest(session.key.to_bytes(4, "big"),
                                                       key.to_bytes(4, "big")):
            session.cancel()
