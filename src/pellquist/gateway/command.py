"""``pellquist serve``: its options, and running the gateway until interrupted."""

from __future__ import annotations

import argparse
import getpass
import logging
import sys
from typing import Any

# Not an "examples:" section: the command line's examples are run as
# written by the tests, and a gateway runs until it is stopped.
EXAMPLES = """\
for instance (the gateway runs until interrupted):
  pellquist serve                 # the demo shop on 127.0.0.1:6543, users alice and bob
  psql "host=127.0.0.1 port=6543 user=alice password=alice" -c "SELECT * FROM sales.customers"
  pellquist serve --catalogue shop.toml --users users.toml \\
      --backend "postgresql:///shop?host=/var/run/postgresql" --listen 0.0.0.0:6543
  pellquist serve --users users.toml --add-user carol --param tenant=3   # asks the password
  pellquist serve --workers 2     # two worker processes on one port (SO_REUSEPORT)

A users file maps each user to its SCRAM verifier and its params; --add-user
writes one entry (numbers with --param, strings with --string-param).
"""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-c", "--catalogue", metavar="FILE",
                        help="catalogue file; default: the demo shop, on an in-memory DuckDB")
    parser.add_argument("--users", metavar="FILE", help="users file (TOML)")
    parser.add_argument("--backend", metavar="URL",
                        help="postgresql://..., duckdb:///path or sqlite:///path")
    parser.add_argument("--listen", metavar="HOST:PORT", default="127.0.0.1:6543",
                        help="address to listen on (default 127.0.0.1:6543)")
    parser.add_argument("--tls-cert", metavar="FILE", help="certificate for TLS (PEM)")
    parser.add_argument("--tls-key", metavar="FILE", help="private key for TLS (PEM)")
    parser.add_argument("--statement-timeout", type=int, metavar="MS", default=60_000,
                        help="default statement timeout in milliseconds (default 60000)")
    parser.add_argument("--workers", type=int, default=1, metavar="N",
                        help="worker processes sharing the port (SO_REUSEPORT; default 1)")
    parser.add_argument("--rewrite-cache", type=int, default=10_000, metavar="N",
                        help="rewritten statements kept per worker (default 10000; 0: none)")
    parser.add_argument("--add-user", metavar="NAME",
                        help="add a user to --users and exit; the password is asked for, or "
                             "read from standard input with --password-stdin")
    parser.add_argument("--password-stdin", action="store_true",
                        help="with --add-user: read the password from standard input")
    parser.add_argument("-p", "--param", action="append", default=[], metavar="NAME=VALUE",
                        help="with --add-user: a numeric param of the user's tenant")
    parser.add_argument("-s", "--string-param", action="append", default=[],
                        metavar="NAME=VALUE", help="with --add-user: a string param")


class _Usage(Exception):
    pass


def _address(text: str) -> tuple[str, int]:
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit() or not 0 <= int(port) < 65536:
        raise _Usage(f"--listen: expected HOST:PORT, got {text!r}")
    return host.strip("[]") or "127.0.0.1", int(port)


def _add_user(args: argparse.Namespace) -> int:
    from ..cli import UserError, _params
    from .users import UsersError, add_user

    if not args.users:
        raise _Usage("--add-user needs --users FILE, the file to add the user to")
    try:
        params = _params(args.param, args.string_param, [])
    except UserError as e:
        raise _Usage(str(e)) from None
    if args.password_stdin:
        password = sys.stdin.readline().rstrip("\n")
    else:
        password = getpass.getpass(f"password for {args.add_user}: ")
        if password != getpass.getpass("again: "):
            raise _Usage("the passwords differ")
    if not password:
        raise _Usage("empty password")
    try:
        add_user(args.users, args.add_user, password, params)
    except UsersError as e:
        raise _Usage(str(e)) from None
    print(f"{args.users}: added user {args.add_user}")
    return 0


def _build(args: argparse.Namespace, executor: Any, worker: int = 0,
           cancel_dir: str | None = None, quiet: bool = False) -> Any:
    from ..models import CatalogueError, load_catalogue
    from .backends import open_backend
    from .embedded import DEMO_USERS, embedded
    from .server import Gateway, Settings, tls_context
    from .users import UsersError, load_users

    host, port = _address(args.listen)
    if args.rewrite_cache < 0:
        raise _Usage("--rewrite-cache: expected 0 or more")
    settings = Settings(host=host, port=port, statement_timeout_ms=args.statement_timeout or None,
                        rewrite_cache_size=args.rewrite_cache, worker=worker,
                        workers=args.workers, cancel_dir=cancel_dir)
    if bool(args.tls_cert) != bool(args.tls_key):
        raise _Usage("--tls-cert and --tls-key go together")
    if args.tls_cert:
        try:
            settings.tls = tls_context(args.tls_cert, args.tls_key)
        except (OSError, ValueError) as e:
            raise _Usage(f"TLS: {e}") from None
    configured = [args.catalogue, args.users, args.backend]
    if not any(configured):
        catalogue, users, demo_backend = embedded(executor)
        if quiet:
            return Gateway(catalogue, users, demo_backend, settings)
        print("pellquist serve: the demo shop (sales.customers, sales.orders, sales.products) "
              "on an in-memory DuckDB")
        for name, password, tenant in DEMO_USERS:
            print(f"  user {name}, password {password}: tenant {tenant}")
        return Gateway(catalogue, users, demo_backend, settings)
    if not all(configured):
        raise _Usage("give --catalogue, --users and --backend together (or none, for the demo)")
    try:
        catalogue = load_catalogue(args.catalogue)
        users = load_users(args.users)
        backend = open_backend(args.backend, executor)
        return Gateway(catalogue, users, backend, settings)
    except (CatalogueError, UsersError, ValueError, OSError) as e:
        raise _Usage(str(e)) from None
    except Exception as e:
        # The engine's driver failing to open the database (a missing file, say).
        raise _Usage(f"cannot open the backend: {type(e).__name__}: {e}") from None


def _listening(host: str, port: int) -> None:
    print(f"listening on {host}:{port}; try: psql -h {host} -p {port} -U alice", flush=True)


async def _serve(gateway: Any, ready: Any = None) -> None:
    import asyncio
    import signal

    await gateway.start()
    if ready is None:
        _listening(gateway.settings.host, gateway.port)
    else:
        ready.put((gateway.settings.worker, None))
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        try:
            loop.add_signal_handler(sig, stop.set)
        except (NotImplementedError, RuntimeError):
            pass
    try:
        await stop.wait()
    finally:
        await gateway.close()


def _require_extra() -> None:
    """The gateway's own dependencies, or a usage error that names them."""
    from importlib.util import find_spec

    missing = [name for name in ("scramp", "duckdb", "psycopg", "psycopg_pool")
               if find_spec(name) is None]
    if missing:
        raise _Usage(f"serve needs {', '.join(missing)}: pip install 'pellquist[gateway]'")


def _worker(args: argparse.Namespace, worker: int, port: int, cancel_dir: str,
            ready: Any) -> None:
    """One worker process of ``--workers N``: a gateway of its own on the
    shared port."""
    import asyncio
    import signal
    from concurrent.futures import ThreadPoolExecutor

    # The parent stops the workers (SIGTERM, whose handler the fork copied
    # from the parent, and which the worker's loop takes over once it runs);
    # Ctrl-C in a terminal reaches them all.
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    host, _ = _address(args.listen)
    args.listen = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    try:
        with ThreadPoolExecutor(16, thread_name_prefix="pellquist-gateway") as executor:
            gateway = _build(args, executor, worker, cancel_dir, quiet=True)
            asyncio.run(_serve(gateway, ready))
    except (_Usage, OSError) as e:
        ready.put((worker, str(e)))


def _run_workers(args: argparse.Namespace) -> int:
    """``--workers N``: N processes, each a whole gateway, accept on one port
    (SO_REUSEPORT: the kernel spreads the connections).  A process id given
    to a client names its worker, and a worker that receives a cancel request
    for another's session passes it on over a unix socket in a private
    folder.  Each worker has its own rewrite cache and connection pool, and
    the per-tenant connection cap counts per worker."""
    import multiprocessing
    import shutil
    import signal
    import socket
    import tempfile
    from queue import Empty

    from .session import MAX_WORKERS

    if not 1 < args.workers <= MAX_WORKERS:
        raise _Usage(f"--workers: expected 1 to {MAX_WORKERS}")
    host, port = _address(args.listen)
    # Holds the port (one the kernel picks, for port 0) for the workers to
    # share; it never listens, so no connection is given to it.
    holder = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    holder.bind((host, port))
    port = holder.getsockname()[1]
    cancel_dir = tempfile.mkdtemp(prefix="pellquist-cancel-")
    # fork, not spawn: nothing runs yet in this process (no thread, no
    # engine), and each worker builds its gateway after the fork.
    context = multiprocessing.get_context("fork")
    ready = context.Queue()
    workers = [context.Process(target=_worker, args=(args, i, port, cancel_dir, ready),
                               name=f"pellquist-worker-{i}", daemon=True)
               for i in range(args.workers)]
    stop = False

    def stopping(signum: int, frame: Any) -> None:
        nonlocal stop
        stop = True

    signal.signal(signal.SIGTERM, stopping)
    signal.signal(signal.SIGINT, stopping)
    try:
        for process in workers:
            process.start()
        started = 0
        while started < len(workers) and not stop:
            try:
                worker, error = ready.get(timeout=1)
            except Empty:
                if any(not p.is_alive() for p in workers):
                    raise _Usage("a worker failed to start") from None
                continue
            if error:
                raise _Usage(f"worker {worker}: {error}")
            started += 1
        if not stop:
            if not args.catalogue:
                print(f"pellquist serve: the demo shop, {args.workers} workers")
            _listening(host, port)
        while not stop:
            for process in workers:
                process.join(0.2)
                if not process.is_alive() and not stop:
                    print(f"pellquist: worker {workers.index(process)} exited "
                          f"({process.exitcode}); stopping", file=sys.stderr)
                    stop = True
        return 0
    finally:
        for process in workers:
            if process.is_alive():
                process.terminate()
        for process in workers:
            process.join(20)
        holder.close()
        shutil.rmtree(cancel_dir, ignore_errors=True)


def run(args: argparse.Namespace) -> int:
    # Imported here: the command line builds its parser from this module.
    import asyncio
    from concurrent.futures import ThreadPoolExecutor

    try:
        _require_extra()
        if args.add_user:
            return _add_user(args)
        logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s: %(message)s")
        if args.workers != 1:
            return _run_workers(args)
        with ThreadPoolExecutor(16, thread_name_prefix="pellquist-gateway") as executor:
            gateway = _build(args, executor)
            asyncio.run(_serve(gateway))
        return 0
    except _Usage as e:
        print(f"pellquist: error: {e}", file=sys.stderr)
        return 2
    except OSError as e:  # the address is taken, say
        print(f"pellquist: error: {e}", file=sys.stderr)
        return 2
