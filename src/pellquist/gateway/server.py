"""The gateway: a listening socket, its sessions, and the limits over them."""

from __future__ import annotations

import asyncio
import hmac
import ssl
from collections.abc import Mapping
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

from ..models import Catalogue
from .backends import Backend
from .session import Session, new_keys
from .shadow import Shadow
from .users import FailureLimiter, User, usual_shape
from .wire import DEFAULT_MAX_MESSAGE


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
        self._tasks: set[asyncio.Task[None]] = set()

    @property
    def port(self) -> int:
        assert self.server is not None
        port: int = self.server.sockets[0].getsockname()[1]
        return port

    async def start(self) -> None:
        await self.backend.start()
        self.server = await asyncio.start_server(self._connected, self.settings.host,
                                                 self.settings.port, limit=2 ** 16)

    async def close(self) -> None:
        if self.server is not None:
            self.server.close()
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
        session.pid, session.key = new_keys(list(self.sessions))
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
        session = self.sessions.get(pid)
        if session is not None and hmac.compare_digest(session.key.to_bytes(4, "big"),
                                                       key.to_bytes(4, "big")):
            session.cancel()
