"""The pellquist command, in process and as the console script / ``python -m pellquist``."""

import io
import json
import re
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
          'AS "_internal" WHERE "_internal"."tenant_id" = 7 OFFSET 0) AS "sales_orders"')
COMMANDS = {"script": [SCRIPT], "module": [sys.executable, "-m", "pellquist"]}


@pytest.fixture
def run(capsys, monkeypatch):
    """run(mode, *argv, stdin=None) -> (status, stdout, stderr); stdin None is no input."""

    def run(mode, *argv, stdin=None, cwd=ROOT):
        if mode != "main":
            proc = subprocess.run(
                COMMANDS[mode] + list(argv), cwd=cwd, capture_output=True, text=True,
                input=stdin, stdin=subprocess.DEVNULL if stdin is None else None, timeout=60)
            return proc.returncode, proc.stdout, proc.stderr
        monkeypatch.setattr(sys, "stdin", io.StringIO(stdin or ""))
        monkeypatch.chdir(cwd)
        try:
            status = cli.main(list(argv))
        except SystemExit as e:
            status = e.code
        out, err = capsys.readouterr()
        return status, out, err

    return run


@pytest.mark.parametrize("mode", ["main", "script", "module"])
@pytest.mark.parametrize("catalogue, sql, stdin", [
    (SHOP, ORDERS, None), (SHOP, "-", ORDERS),
    ("examples/shop.toml", None, ORDERS + "\n"),  # relative to the working directory
    (None, ORDERS, None),  # the demo catalogue
])
def test_rewrite(run, mode, catalogue, sql, stdin):
    argv = (["--catalogue", catalogue] if catalogue else []) + ["--param", "tenant=7"]
    assert run(mode, "rewrite", *argv, *[sql] * bool(sql), stdin=stdin) == (0, NATIVE + "\n", "")


def test_rewrite_string_param_dialect_pretty(run):
    status, out, err = run("main", "rewrite", "-c", SHOP, "--string-param", "tenant=7'; --",
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
    "missing-param": (["-c", SHOP, "-p", "region=EU", ORDERS],
                      "missing parameter tenant: pass --param tenant=VALUE"),
    "param-syntax": (["-c", SHOP, "-p", "tenant", ORDERS], "expected NAME=VALUE, got 'tenant'"),
    "param-name": (["-c", SHOP, "-p", "a b=1", ORDERS], "expected NAME=VALUE"),
    "string-param": (["-c", SHOP, "-s", "tenant=a\\b", ORDERS], "backslashes"),
    "filter-injection": (["-c", SHOP, "-p", "tenant=7; DROP TABLE x", ORDERS],
                         "does not parse as a single condition"),
    "filter-injection-lines": (["-c", SHOP, "-p", "tenant=7;\nDROP TABLE x", ORDERS],
                               "does not parse as a single condition"),
    "filter-tokenizer-lines": (["-c", SHOP, "-p", "tenant='a\nb", ORDERS], "does not parse"),
    "no-sql": (T7 + ["-"], "no SQL given"),
}


@pytest.mark.parametrize("mode", ["main", "script"])
@pytest.mark.parametrize("argv, message", ERRORS.values(), ids=ERRORS)
def test_user_errors(run, tmp_path, mode, argv, message):
    files = {"bad": BAD_TOML, "missing": None, "not_toml": "[[tables]\n"}
    for name, text in files.items():
        if text is not None:
            (tmp_path / f"{name}.toml").write_text(text)
    fill = {name: str(tmp_path / f"{name}.toml") for name in files}
    status, out, err = run(mode, "rewrite", *[a.format(**fill) if a[:1] == "{" else a
                                              for a in argv])
    assert (status, out) == (2, "")
    assert err.startswith("pellquist: error: ") and err.endswith("\n"), err
    assert err.count("\n") == 1 and "Traceback" not in err, err
    assert message.format(**fill) in err


@pytest.mark.parametrize("mode", ["main", "module"])
def test_check(run, tmp_path, mode):
    status, out, err = run(mode, "check", "--catalogue", "examples/shop.toml")
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
    status, out, _ = run(mode, "check", "-c", str(path))
    assert status == 0 and "s.t" in out and out.splitlines()[-1] == "parameters: region, tenant"


@pytest.mark.parametrize("mode", ["main", "script"])
def test_check_bad_catalogue(run, tmp_path, mode):
    path = tmp_path / "bad.toml"
    path.write_text(BAD_TOML)
    status, out, err = run(mode, "check", "-c", str(path))
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


@pytest.mark.parametrize("mode", ["main", "module"])
def test_demo_keeps_tenants_apart(run, mode):
    status, out, err = run(mode, "demo")
    assert status == 0 and err == ""
    blocks = tenant_blocks(out)
    assert set(blocks) == {1, 2}
    assert "Ada Shop" in blocks[1] and "Ada Shop" not in blocks[2]
    assert "Zephyr Ltd" in blocks[2] and "Zephyr Ltd" not in blocks[1]
    assert "9000.00" in blocks[2] and "9000" not in blocks[1]
    assert "-> refused: " in out
    assert "-> unknown table 'app_order'" in out
    assert "Traceback" not in out


def test_demo_one_tenant(run):
    status, out, err = run("main", "demo", "--tenant", "2")
    assert status == 0 and err == ""
    assert set(tenant_blocks(out)) == {2}
    assert "Zephyr Ltd" in out and "Ada Shop" not in out
    assert '"tenant_id" = 2' in out and '"tenant_id" = 1' not in out


@pytest.mark.parametrize("command", ["rewrite", "check", "demo"])
def test_help_shows_an_example(run, command):
    status, out, _ = run("main", command, "--help")
    assert status == 0 and "example" in out and f"pellquist {command}" in out
