"""The pellquist command, in process and as the console script / ``python -m pellquist``."""

import io
import json
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest
import sqlglot

from pellquist import cli

ROOT = Path(__file__).resolve().parents[1]
SHOP = str(ROOT / "examples" / "shop.toml")
SCRIPT = str(Path(sys.executable).with_name("pellquist"))
ORDERS = "SELECT id FROM sales.orders"
NATIVE = ('SELECT "id" FROM (SELECT "ord_id" AS "id", "ord_cust" AS "customer_id", '
          '"ord_total" AS "amount", "ord_day" AS "ordered_on" FROM "app_order" '
          'AS "_internal" WHERE "_internal"."tenant_id" = 7) AS "sales_orders"')
COMMANDS = {"script": [SCRIPT], "module": [sys.executable, "-m", "pellquist"]}


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.fixture
def run(capsys, monkeypatch):
    """run(*argv, stdin=None) -> (status, stdout, stderr) of main() in this process;
    stdin None is no input, bytes are read as they are, a Terminal is a terminal."""

    def run(*argv, stdin=None):
        if isinstance(stdin, bytes):
            stdin = io.TextIOWrapper(io.BytesIO(stdin))
        elif not isinstance(stdin, io.StringIO):
            stdin = io.StringIO(stdin or "")
        monkeypatch.setattr(sys, "stdin", stdin)
        monkeypatch.chdir(ROOT)
        try:
            status = cli.main(list(argv))
        except SystemExit as e:
            status = e.code
        out, err = capsys.readouterr()
        return status, out, err

    return run


@pytest.mark.parametrize("catalogue, sql, stdin", [
    (SHOP, ORDERS, None), (SHOP, "-", ORDERS),
    ("examples/shop.toml", None, ORDERS + "\n"),  # relative to the working directory
])
def test_rewrite(run, catalogue, sql, stdin):
    argv = (["--catalogue", catalogue] if catalogue else []) + ["--param", "tenant=7"]
    assert run("rewrite", *argv, *[sql] * bool(sql), stdin=stdin) == (
        0, NATIVE + "\n", "")


def test_rewrite_needs_a_catalogue(run):
    status, out, err = run("rewrite", "--param", "tenant=7", ORDERS)
    assert (status, out) == (2, "") and "--catalogue" in err


def test_version(run):
    from pellquist import __version__

    assert run("--version") == (0, f"pellquist {__version__}\n", "")


@pytest.mark.parametrize("command", COMMANDS.values(), ids=COMMANDS)
def test_entry_points(command):
    """The console script and ``python -m pellquist`` are main(): output, status, stderr."""

    def call(*argv, stdin=None):
        proc = subprocess.run(command + ["rewrite", "-c", SHOP, "-p", "tenant=7", *argv],
                              cwd=ROOT, capture_output=True, text=True, timeout=60, input=stdin,
                              stdin=subprocess.DEVNULL if stdin is None else None)
        return proc.returncode, proc.stdout, proc.stderr

    assert call(stdin=ORDERS) == (0, NATIVE + "\n", "")
    status, out, err = call("DELETE FROM x")
    assert (status, out) == (2, "") and err.startswith("pellquist: error: refused: ")
    assert err.count("\n") == 1


@pytest.mark.parametrize("flag, value, literal", [
    ("--param", "7", "7"), ("-p", "-7", "(-7)"), ("--param", "2.50", "2.50"),
    ("--param", "1e3", "1E+3"), ("--string-param", "T-7", "'T-7'"),
    ("--raw-param", "(SELECT 7)", "(SELECT 7)"),
])
def test_param_flags(run, flag, value, literal):
    status, out, err = run("rewrite", "-c", SHOP, flag, f"tenant={value}", ORDERS)
    assert (status, err) == (0, "")
    assert out == NATIVE.replace("= 7", "= " + literal) + "\n"


def test_rewrite_string_param_dialect_pretty(run, tmp_path):
    # A catalogue without a dialect line takes the one --dialect names.
    unbound = tmp_path / "shop.toml"
    unbound.write_text(Path(SHOP).read_text().replace('dialect = "sqlite"', ""))
    status, out, err = run("rewrite", "-c", str(unbound), "--string-param", "tenant=7'; --",
                           "--dialect", "postgres", "--pretty", ORDERS)
    assert status == 0 and err == "" and out.count("\n") > 5
    plain = NATIVE.replace("= 7", "= '7''; --'")
    assert sqlglot.parse_one(out, read="postgres") == sqlglot.parse_one(plain, read="postgres")


BAD_TOML = '[[tables]]\npublic = "t"\ninternal = "a;b"\ncolumns = {a = "a"}\n'
T7 = ["-c", SHOP, "-p", "tenant=7"]
ERRORS = {
    "refused": (T7 + ["DELETE FROM sales.orders"], "refused: "),
    "internal-table": (T7 + ["SELECT * FROM app_order"], "unknown table 'app_order'"),
    "unknown-table": (T7 + ["SELECT id FROM sales.nope"], "unknown table 'sales.nope'"),
    "parse": (T7 + ["SELECT FROM WHERE ("], "SQL does not parse"),
    "parse-lines": (T7 + ["SELECT id,\nFROM sales.orders\nWHERE ((\n"], "SQL does not parse"),
    "tokenizer": (T7 + ["SELECT 'abc FROM sales.orders"], "SQL does not parse"),
    "tokenizer-lines": (T7 + ["SELECT id\nFROM sales.orders WHERE name = 'a\n"], "not parse"),
    "bad-catalogue": (["-c", "{bad}", ORDERS],
                      "bad catalogue: {bad}: tables[0].internal: expected a name"),
    "missing-catalogue": (["-c", "{missing}", ORDERS], "bad catalogue: {missing}: cannot read"),
    "not-toml": (["-c", "{not_toml}", ORDERS], "bad catalogue: {not_toml}: not valid TOML"),
    "missing-param": (["-c", SHOP, "-s", "region=EU", ORDERS],
                      "missing parameter tenant: pass --param tenant=VALUE"),
    "param-syntax": (["-c", SHOP, "-p", "tenant", ORDERS],
                     "--param: expected NAME=VALUE, got 'tenant'"),
    "param-name": (["-c", SHOP, "--raw-param", "a b=1", ORDERS], "expected NAME=VALUE"),
    "param-twice": (T7 + ["-s", "tenant=7", ORDERS], "parameter tenant is given more than once"),
    "param-not-a-number": (["-c", SHOP, "-p", "tenant=7 OR 1=1", ORDERS],
                           "--param tenant: expected a number, got '7 OR 1=1'; pass a string "
                           "with --string-param tenant=VALUE, or SQL text with --raw-param "
                           "tenant=VALUE"),
    "param-nan": (["-c", SHOP, "-p", "tenant=NaN", ORDERS], "expected a number"),
    "string-param": (["-c", SHOP, "-s", "tenant=a\\b", ORDERS], "backslashes"),
    "filter-injection": (["-c", SHOP, "--raw-param", "tenant=7; DROP TABLE x", ORDERS],
                         "bad catalogue: The row filter of table 'sales.orders' does not parse "
                         "as a single condition"),
    "filter-injection-lines": (["-c", SHOP, "--raw-param", "tenant=7;\nDROP TABLE x", ORDERS],
                               "does not parse as a single condition"),
    "filter-parse": (["-c", SHOP, "--raw-param", "tenant=1 +", ORDERS],
                     "a row filter does not parse: "),
    "filter-tokenizer-lines": (["-c", SHOP, "--raw-param", "tenant='a\nb", ORDERS],
                               "a row filter does not parse: "),
    "unknown-dialect": (T7 + ["--dialect", "postgress", ORDERS],
                        "unknown dialect 'postgress'. Did you mean postgres?"),
    "dialect-setting": (T7 + ["--dialect", "postgres, foo=bar", ORDERS],
                        "unknown dialect 'postgres, foo=bar': Unknown setting 'foo'."),
    "too-long": (T7 + [ORDERS + " WHERE id IN (" + "1, " * 40_000 + "1)"],
                 "over the limit: the query is 120,043 characters long; the limit is 100,000"),
    "too-deep": (T7 + ["SELECT " + "(" * 150 + "1" + ")" * 150],
                 "over the limit: the query nests parentheses more than 100 deep"),
    "too-many-operators": (T7 + ["SELECT " + "NOT " * 20_000 + "1"],
                           "over the limit: the query holds more than 5,000 operators"),
    "no-sql": (T7 + ["-"], "no SQL given"),
    "dialect-not-the-catalogues": (T7 + ["--dialect", "postgres", ORDERS],
                                   "the dialect 'postgres' is not the catalogue's ('sqlite')"),
    "no-dialect": (["-c", "{unbound}", "-p", "tenant=7", ORDERS],
                   "no SQL dialect: pass --dialect"),
}


@pytest.mark.parametrize("argv, message", ERRORS.values(), ids=ERRORS)
def test_user_errors(run, tmp_path, argv, message):
    files = {"bad": BAD_TOML, "missing": None, "not_toml": "[[tables]\n",
             "unbound": Path(SHOP).read_text().replace('dialect = "sqlite"', "")}
    for name, text in files.items():
        if text is not None:
            (tmp_path / f"{name}.toml").write_text(text)
    fill = {name: str(tmp_path / f"{name}.toml") for name in files}
    status, out, err = run("rewrite", *[a.format(**fill) if a[:1] == "{" else a
                                                for a in argv])
    assert (status, out) == (2, "")
    assert err.startswith("pellquist: error: ") and err.endswith("\n"), err
    assert err.count("\n") == 1 and "Traceback" not in err, err
    assert message.format(**fill) in err
    if not message.startswith("refused"):
        assert "refused" not in err


# Each one is bad UTF-8, a NUL or a control character, in the SQL and in
# the names and literals an error message quotes.
GARBAGE = [
    b"\x00\x01\x02\xff\xfe\x80garbage",
    b"SELECT \x00 FROM sales.nope\x00\x7f",
    b"SELECT * FROM \"a\x00\x1b[2J\x07\"",
    b"SELECT * FROM sales.orders WHERE name = 'a\x00\x1b]0;title\x07",
    b"SELECT \xe2\x80\xae id FROM sales.orders \x9b",
    b"\x00" * 1000 + b"SELECT (",
    b"SELECT id FROM `a\x00\r\nb`",
]


@pytest.mark.parametrize("data", GARBAGE)
def test_garbage_on_stdin_is_one_clean_line(run, data):
    status, out, err = run("rewrite", *T7, stdin=data)
    assert (status, out) == (2, ""), err
    assert err.startswith("pellquist: error: ") and err.endswith("\n")
    line = err[:-1]
    assert line.isprintable(), repr(line)
    assert "\n" not in line and "\x00" not in line and "\x1b" not in line


def test_no_sql_and_a_terminal_on_stdin_is_a_usage_error(run):
    # What the terminal holds is not read: the user has not typed the query yet.
    assert run("rewrite", *T7, stdin=Terminal(ORDERS)) == (
        2, "", "pellquist: error: no SQL given: pass it as an argument, or pipe it in on "
               "standard input\n")


def test_internal_fault_is_not_a_user_error(run, monkeypatch):
    import pellquist.api

    def broken(*args, **kwargs):
        raise RuntimeError("the wall fell over\nwith a second line")

    monkeypatch.setattr(pellquist.api, "rewrite", broken)
    status, out, err = run("rewrite", *T7, ORDERS)
    assert (status, out) == (1, "")
    assert err == ("pellquist: internal error: RuntimeError: the wall fell over\\nwith a "
                   "second line\n")


def help_examples(text):
    """The commands of the examples section of a --help text, continuation lines joined."""
    lines = text.split("examples:\n" if "examples:\n" in text else "example:\n", 1)[1]
    commands, current = [], ""
    for line in lines.splitlines():
        if not line.strip():
            break
        current += line.strip()
        if current.endswith("\\"):
            current = current[:-1]
        else:
            commands.append(current)
            current = ""
    return commands


@pytest.mark.parametrize("command", ["rewrite", "check", "demo"])
def test_help_examples_run_as_written(run, command):
    _, out, _ = run(command, "--help")
    examples = help_examples(out)
    assert len(examples) >= 1 and all("pellquist " + command in e for e in examples)
    env = dict(os.environ, PATH=str(Path(SCRIPT).parent) + os.pathsep + os.environ["PATH"])
    for example in examples:
        assert shlex.split(example, comments=True)  # well-formed shell words
        proc = subprocess.run(["bash", "-c", "set -o pipefail; " + example], cwd=ROOT, env=env,
                              capture_output=True, text=True, timeout=120,
                              stdin=subprocess.DEVNULL)
        assert (proc.returncode, proc.stderr) == (0, ""), example
        assert proc.stdout, example


def test_check(run, tmp_path):
    status, out, err = run("check", "--catalogue", "examples/shop.toml")
    assert status == 0 and err == ""
    for name in ("sales.customers", "app_customer", "sales.orders", "sales.products",
                 "tenant_id = {tenant}"):
        assert name in out
    assert out.splitlines()[0] == "examples/shop.toml: 3 published tables"
    assert out.splitlines()[-1] == "parameters: tenant"
    path = tmp_path / "two.json"
    path.write_text(json.dumps({"tables": [{
        "public": "t", "internal": "s.t", "columns": {"a": "a"},
        "filter": "r = {region} AND t = {tenant}"}]}))
    status, out, _ = run("check", "-c", str(path))
    assert status == 0 and "s.t" in out and out.splitlines()[-1] == "parameters: region, tenant"


def test_check_bad_catalogue(run, tmp_path):
    path = tmp_path / "bad.toml"
    path.write_text(BAD_TOML)
    status, out, err = run("check", "-c", str(path))
    assert (status, out) == (2, "")
    assert err.startswith(f"pellquist: error: bad catalogue: {path}: tables[0].internal: ")
    assert err.count("\n") == 1 and err.endswith("\n")


def tenant_blocks(out):
    """The lines under each '  tenant N:' heading, as {N: [text, ...]} over all queries."""
    blocks, current = {}, None
    for line in out.splitlines():
        heading = re.fullmatch(r"  tenant (\d+):", line)
        if heading:
            current = blocks.setdefault(int(heading[1]), [])
        elif current is not None and line.startswith("    "):
            current.append(line)
        else:
            current = None
    return {tenant: "\n".join(lines) for tenant, lines in blocks.items()}


def test_demo_keeps_tenants_apart(run):
    status, out, err = run("demo")
    assert status == 0 and err == ""
    blocks = tenant_blocks(out)
    assert set(blocks) == {1, 2}
    assert "Ada Shop" in blocks[1] and "Ada Shop" not in blocks[2]
    assert "Zephyr Ltd" in blocks[2] and "Zephyr Ltd" not in blocks[1]
    assert "9000.00" in blocks[2] and "9000" not in blocks[1]
    # Before the queries, the internal table shows both tenants' rows.
    internal = out.split("[1]")[0]
    assert "Ada Shop" in internal and "Zephyr Ltd" in internal
    assert "-> refused: " in out
    assert "-> unknown table 'app_customer'" in out
    assert "Traceback" not in out


def test_demo_one_tenant(run):
    status, out, err = run("demo", "--tenant", "2")
    assert status == 0 and err == ""
    assert set(tenant_blocks(out)) == {2}
    assert "Zephyr Ltd" in tenant_blocks(out)[2] and "Ada Shop" not in tenant_blocks(out)[2]
    assert '"tenant_id" = 2' in out and '"tenant_id" = 1' not in out


@pytest.mark.parametrize("command", ["rewrite", "check", "demo"])
def test_help_shows_an_example(run, command):
    status, out, _ = run(command, "--help")
    assert status == 0 and "example" in out and f"pellquist {command}" in out
