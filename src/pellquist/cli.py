"""The ``pellquist`` command: rewrite queries, write and check catalogues, run the demo.

A user error (a refused statement, an unknown table, SQL that does not parse,
an unknown dialect, a bad catalogue, a missing or unsafe parameter, a query
over the limits, a database that cannot be read, a usage mistake) prints one
line to stderr and exits with status 2; ``check --database`` prints one such
line for each problem it finds.  Any other failure is a fault of pellquist:
one line saying so, status 1.
"""

from __future__ import annotations

import argparse
import decimal
import re
import sys
from collections.abc import Sequence
from typing import Any, NoReturn

from . import demo
from .models import Catalogue, CatalogueError, RawSql, SqlString, load_catalogue

PROG = "pellquist"

# Every example under "example(s):" runs as written from the repository's root
# (a test runs them); the ones that need a database of the reader's come after.
REWRITE_EXAMPLES = """\
examples:
  pellquist rewrite --catalogue examples/shop.toml --param tenant=7 \\
      "SELECT id, amount FROM sales.orders"
  echo "SELECT name FROM sales.customers" | pellquist rewrite -c examples/shop.toml \\
      -p tenant=7 --pretty
  pellquist rewrite -c examples/shop.toml --string-param tenant=T-7 "SELECT id FROM sales.orders"
  pellquist rewrite -c examples/shop.toml --raw-param "tenant=(SELECT 7)" \\
      "SELECT id FROM sales.orders"

--param takes a number; --string-param quotes its value as a string literal;
--raw-param pastes its value as SQL text (never pass user input with it).
The SQL is written for the catalogue's dialect (its dialect = "..." line);
--dialect names one for a catalogue without it, and must agree with it.
The examples run from the root of pellquist's source tree, which holds
examples/shop.toml.
"""

CHECK_EXAMPLES = """\
example:
  pellquist check --catalogue examples/shop.toml

against a database (needs: pip install 'pellquist[database]'):
  pellquist check --catalogue shop.toml --database sqlite:///shop.db

With --database, every internal table, mapped column and row filter column
must be in the database; each one that is not is reported on its own line.
"""

INIT_EXAMPLES = """\
examples (need: pip install 'pellquist[database]'):
  pellquist init --database sqlite:///shop.db --output shop.toml
  pellquist init --database sqlite:///shop.db --tenant-column tenant_id -o shop2.toml
  pellquist init --database postgresql+psycopg://app@db.example/shop --schema app

Every table gets a row filter: '<column> = {tenant}' where it has the tenant
column (--tenant-column, or a column named like a tenant's), else '1 = 0',
which shows no rows until you write the real one.  The tenant column itself
is not published unless --publish-tenant-column.
"""

DEMO_EXAMPLES = """\
examples:
  pellquist demo              # both tenants, side by side
  pellquist demo --tenant 2   # only tenant 2
"""

# Longest error line printed: a message may quote a long piece of the query.
MAX_MESSAGE = 1000


class UserError(Exception):
    """An error the user can fix; reported as one line, exit status 2."""


def _fail(message: str) -> NoReturn:
    raise UserError(message)


def _describe(error: BaseException) -> str:
    """One line for an error of :func:`pellquist.rewrite`, naming its kind."""
    from . import errors

    if isinstance(error, errors.UnknownTable):
        hint = (" (did you mean " + " or ".join(map(repr, error.suggestions)) + "?)"
                if error.suggestions else "")
        return (f"unknown table {error.args[0]!r}: it is neither published nor a CTE of the "
                f"query{hint}")
    if isinstance(error, (errors.UnknownDialect, errors.DialectError)):
        return str(error)
    if isinstance(error, errors.SqlSyntaxError):
        what = ("a row filter does not parse" if str(error).startswith("a row filter")
                else "SQL does not parse")
        if error.errors:
            first = error.errors[0]
            where = f" (line {first.get('line')}, column {first.get('col')})" if first.get(
                "line") else ""
            description = re.sub(r"<Token token_type: [^,]*, text: (.*?), line: .*?>", r"'\1'",
                                 str(first.get("description")))
            return f"{what}: {description}{where}"
        text = str(error.__cause__ or error)  # sqlglot's own words, without the row filter note
        return f"{what}: " + (text.strip().splitlines() or ["unknown error"])[0]
    if isinstance(error, errors.MissingParam):
        return str(error)
    if isinstance(error, errors.UnsafeParam):
        return f"unsafe parameter: {error}"
    if isinstance(error, errors.BadCatalogue):
        return f"bad catalogue: {error}"
    if isinstance(error, errors.LimitExceeded):
        return f"over the limit: {error}"
    if isinstance(error, errors.Refused):
        return f"refused: {error.message}" + (f"; {error.hint}" if error.hint else "")
    return f"{type(error).__name__}: {error}"


def _rewrite(catalogue: Catalogue, params: dict[str, Any], sql: str, dialect: str | None) -> str:
    from .api import rewrite
    from .errors import PellquistError

    try:
        return rewrite(catalogue, sql, params, dialect=dialect)
    except PellquistError as e:
        _fail(_describe(e))


def _load(path: str) -> Catalogue:
    try:
        return load_catalogue(path)
    except CatalogueError as e:
        _fail(f"bad catalogue: {e}")


_NUMBER = re.compile(r"[+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?\Z", re.ASCII)


def _number(name: str, value: str) -> int | decimal.Decimal:
    if _NUMBER.match(value):
        try:
            return int(value) if value.lstrip("+-").isdigit() else decimal.Decimal(value)
        except ValueError:  # more digits than an int may have
            pass
    _fail(f"--param {name}: expected a number, got {value!r}; pass a string with "
          f"--string-param {name}=VALUE, or SQL text with --raw-param {name}=VALUE")


def _params(numbers: Sequence[str], strings: Sequence[str], raw: Sequence[str]) -> dict[str, Any]:
    params: dict[str, Any] = {}
    given = ([("--param", p) for p in numbers] + [("--string-param", s) for s in strings]
             + [("--raw-param", r) for r in raw])
    for flag, pair in given:
        name, sep, value = pair.partition("=")
        if not sep or not name.isidentifier():
            _fail(f"{flag}: expected NAME=VALUE, got {pair!r}")
        if name in params:
            _fail(f"parameter {name} is given more than once")
        if flag == "--param":
            params[name] = _number(name, value)
        elif flag == "--raw-param":
            params[name] = RawSql(value)
        else:
            try:
                params[name] = SqlString(value)
            except ValueError as e:
                _fail(str(e))
    return params


def _read_stdin() -> str:
    if sys.stdin is None or sys.stdin.isatty():
        _fail("no SQL given: pass it as an argument, or pipe it in on standard input")
    binary = getattr(sys.stdin, "buffer", None)
    if binary is None:
        return str(sys.stdin.read())
    data: bytes = binary.read()
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        _fail(f"standard input is not UTF-8 text (byte {data[e.start]:#04x} at offset {e.start})")


def _pretty(sql: str, dialect: str | None) -> str:
    import sqlglot

    return sqlglot.transpile(sql, read=dialect, write=dialect, pretty=True, identify=True)[0]


def cmd_rewrite(args: argparse.Namespace) -> int:
    params = _params(args.param, args.string_param, args.raw_param)
    catalogue = _load(args.catalogue)
    missing = sorted(catalogue.placeholders() - params.keys())
    if missing:
        _fail("missing parameter" + ("s " if len(missing) > 1 else " ")
              + ", ".join(missing) + ": pass " + " ".join(f"--param {m}=VALUE" for m in missing))
    sql = _read_stdin() if args.sql in (None, "-") else args.sql
    if not sql.strip():
        _fail("no SQL given: pass it as an argument or on standard input")
    dialect = args.dialect or catalogue.dialect
    if not dialect:
        _fail("no SQL dialect: pass --dialect (postgres, sqlite, duckdb, clickhouse, spark, ...) "
              "or write dialect = \"...\" in the catalogue file")
    native = _rewrite(catalogue, params, sql, dialect)
    print(_pretty(native, dialect) if args.pretty else native)
    return 0


def cmd_check(args: argparse.Namespace) -> int:
    catalogue = _load(args.catalogue)
    problems, summary = (_check_database(args.catalogue, catalogue, args.database)
                         if args.database else ([], []))
    rows = []
    for table in catalogue.tables.values():
        name = table.name if isinstance(table.name, str) else table.name.sql()
        rows.append((table.pub_name, name, ", ".join(c.pub_name for c in table.columns.values()),
                     table.filters or "-"))
    print(f"{args.catalogue}: {len(rows)} published table{'s' if len(rows) != 1 else ''}")
    print(format_table(("public", "internal", "columns", "filter"), rows))
    needed = sorted(catalogue.placeholders())
    print("parameters:", ", ".join(needed) if needed else "none")
    for line in summary:
        print(line)
    for problem in problems:
        print(f"{PROG}: error: {one_line(problem)}", file=sys.stderr)
    return 2 if problems else 0


def _check_database(path: str, catalogue: Catalogue, url: str) -> tuple[list[str], list[str]]:
    """Problems of ``catalogue`` in the database at ``url``, as error lines,
    and the summary lines; a database that cannot be read is a user error."""
    from . import database

    try:
        report = database.check_catalogue(catalogue, url)
    except database.DatabaseError as e:
        _fail(str(e))
    return [f"{path}: {p}" for p in report.problems], report.summary()


def cmd_init(args: argparse.Namespace) -> int:
    from . import database

    try:
        made = database.skeleton(args.database, args.schema, args.tenant_column,
                                 args.publish_tenant_column)
    except database.DatabaseError as e:
        _fail(str(e))
    if not args.output:
        sys.stdout.write(made.text)
        return 0
    try:
        # Never over an existing file: it may be a catalogue already edited.
        with open(args.output, "x", encoding="utf-8") as out:
            out.write(made.text)
    except FileExistsError:
        _fail(f"{args.output} exists: remove it or choose another --output")
    except OSError as e:
        _fail(f"cannot write {args.output}: {e.strerror or e}")
    skipped = f"; {len(made.skipped)} not published, see its comments" if made.skipped else ""
    print(f"{args.output}: {len(made.tables)} tables{skipped}; confirm each row filter, then "
          f"run: {PROG} check --catalogue {args.output} --database URL")
    return 0


def format_table(header: Sequence[str], rows: Sequence[Sequence[Any]]) -> str:
    """A plain text table; numbers right-aligned."""
    cells = [[_cell(v) for v in row] for row in rows]
    widths = [max([len(h)] + [len(r[i]) for r in cells]) for i, h in enumerate(header)]
    numeric = [all(isinstance(row[i], (int, float)) for row in rows) and bool(rows)
               for i in range(len(header))]

    def line(values: Sequence[str]) -> str:
        return "  ".join(v.rjust(w) if num else v.ljust(w)
                         for v, w, num in zip(values, widths, numeric)).rstrip()

    out = [line(header), line(["-" * w for w in widths])]
    out += [line(r) for r in cells]
    if not rows:
        out.append("(no rows)")
    return "\n".join(out)


def _cell(value: Any) -> str:
    if value is None:
        return "NULL"
    if isinstance(value, float):
        return f"{value:.2f}"
    return str(value)


def _indent(text: str, prefix: str = "    ") -> str:
    return "\n".join(prefix + line for line in text.splitlines())


def cmd_demo(args: argparse.Namespace) -> int:
    from .api import rewrite
    from .errors import PellquistError

    catalogue = demo.catalogue()
    tenants = [args.tenant] if args.tenant is not None else demo.TENANTS
    db = demo.database()
    print("pellquist demo: one public schema, one SQLite database, two tenants.")
    print(f"Catalogue: {len(catalogue.tables)} published tables; each query runs once per tenant.")
    print("\nBoth tenants' rows sit in the same internal tables, told apart by a column:")
    print(_indent(demo.INTERNAL))
    cursor = db.execute(demo.INTERNAL)
    print(_indent(format_table([d[0] for d in cursor.description], cursor.fetchall())))
    print("Queries name only the published tables (sales.customers, sales.orders, ...), "
          "and each reads its own tenant's rows.")
    for number, (sql, what) in enumerate(demo.QUERIES, 1):
        print(f"\n[{number}] {what}")
        print(_indent(sql))
        native = None
        for tenant in tenants:
            try:
                native = rewrite(catalogue, sql, {"tenant": tenant}, dialect="sqlite")
            except PellquistError as e:
                print(f"  -> {_describe(e)}")
                break
            if tenant == tenants[0]:
                print("  native SQL (tenant %d):" % tenant)
                print(_indent(_pretty(native, "sqlite"), "    "))
            cursor = db.execute(native)
            header = [d[0] for d in cursor.description]
            print(f"  tenant {tenant}:")
            print(_indent(format_table(header, cursor.fetchall())))
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Rewrite SQL written against a published schema into native SQL that "
                    "reads each table through its row filter.",
        epilog="Run 'pellquist COMMAND --help' for a command's options and examples.",
    )
    from . import __version__

    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    fmt = argparse.RawDescriptionHelpFormatter

    rewrite = sub.add_parser("rewrite", help="print the native SQL of a query",
                             epilog=REWRITE_EXAMPLES, formatter_class=fmt)
    rewrite.add_argument("sql", nargs="?", metavar="SQL",
                         help="the query; '-' or nothing reads it from standard input")
    rewrite.add_argument("-c", "--catalogue", metavar="FILE", required=True,
                         help="catalogue file (.toml or .json)")
    rewrite.add_argument("-p", "--param", action="append", default=[], metavar="NAME=VALUE",
                         help="a filter parameter that is a number (an integer or a decimal)")
    rewrite.add_argument("-s", "--string-param", action="append", default=[],
                         metavar="NAME=VALUE", help="a filter parameter quoted as a string literal")
    rewrite.add_argument("--raw-param", action="append", default=[], metavar="NAME=VALUE",
                         help="a filter parameter pasted as SQL text; never user input")
    rewrite.add_argument("-d", "--dialect",
                         help="SQL dialect to read and write (e.g. postgres); default: the "
                              "catalogue's")
    rewrite.add_argument("--pretty", action="store_true", help="print the SQL over several lines")
    rewrite.set_defaults(run=cmd_rewrite)

    check = sub.add_parser("check", help="validate a catalogue and list its tables",
                           epilog=CHECK_EXAMPLES, formatter_class=fmt)
    check.add_argument("-c", "--catalogue", metavar="FILE", required=True,
                       help="catalogue file (.toml or .json)")
    check.add_argument("--database", metavar="URL",
                       help="also check the catalogue against this database (a SQLAlchemy URL)")
    check.set_defaults(run=cmd_check)

    init = sub.add_parser("init", help="write a catalogue for a database's tables",
                          epilog=INIT_EXAMPLES, formatter_class=fmt)
    init.add_argument("--database", metavar="URL", required=True,
                      help="the database to read (a SQLAlchemy URL)")
    init.add_argument("--schema", help="the schema to read; default: the connection's own")
    init.add_argument("--tenant-column", metavar="NAME",
                      help="the column that holds each row's tenant; default: a column "
                           "named like one (tenant_id, tenant_key, ...)")
    init.add_argument("--publish-tenant-column", action="store_true",
                      help="publish the tenant column too (left out by default: each tenant "
                           "sees only its own value there)")
    init.add_argument("-o", "--output", metavar="FILE",
                      help="write the catalogue here (never over an existing file); "
                           "default: standard output")
    init.set_defaults(run=cmd_init)

    run_demo = sub.add_parser("demo", help="show the rewrite keeping two tenants apart",
                              epilog=DEMO_EXAMPLES, formatter_class=fmt)
    run_demo.add_argument("--tenant", type=int, choices=demo.TENANTS,
                          help="show only this tenant")
    run_demo.set_defaults(run=cmd_demo)

    from .gateway import command as gateway_command

    serve = sub.add_parser("serve", help="serve the catalogue to SQL clients over "
                           "PostgreSQL's protocol", epilog=gateway_command.EXAMPLES,
                           formatter_class=fmt)
    gateway_command.add_arguments(serve)
    serve.set_defaults(run=gateway_command.run)
    return parser


def one_line(text: str, limit: int = MAX_MESSAGE) -> str:
    """``text`` as one printable line: newlines, NULs, other control and
    format characters and lone surrogates (undecodable input) are written as
    Python escapes, so a message that quotes the query cannot break the line
    or drive the terminal.  Cut to ``limit`` characters."""
    line = "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii")
                   for c in text[:limit + 1])
    return line if len(line) <= limit else line[:limit - 3] + "..."


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        status: int = args.run(args)
        return status
    except UserError as e:
        print(f"{PROG}: error: {one_line(str(e))}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        return 0
    except Exception as e:  # a fault of pellquist or sqlglot, not of the input
        print(f"{PROG}: internal error: {one_line(f'{type(e).__name__}: {e}')}",
              file=sys.stderr)
        return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
