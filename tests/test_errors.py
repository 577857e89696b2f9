"""What a refusal tells the statement's author, and what it tells the developer."""

import pytest

import pellquist
from pellquist import Catalogue, Table

CATALOGUE = Catalogue([Table("orders", "app_order", {"o_id": "id", "o_note": "note"},
                             "tenant_id = {tenant}")])


def refused(sql: str) -> pellquist.Refused:
    with pytest.raises(pellquist.Refused) as info:
        pellquist.rewrite(CATALOGUE, sql, {"tenant": 1}, dialect="postgres")
    return info.value


@pytest.mark.parametrize("sql, message, hint", [
    ("SELECT my_udf(note) FROM orders",
     "The SQL calls the function 'my_udf', which the catalogue does not allow",
     "list it in the catalogue's allowed_functions to allow it"),
    ("SELECT pg_read_file('/etc/passwd') FROM orders",
     "The SQL calls the function 'pg_read_file', which can read data outside the published "
     "tables or change the session", None),
    ("DELETE FROM orders", "As of now, only select statements are supported.", None),
])
def test_the_author_s_message_and_the_developer_s_hint_are_apart(sql, message, hint):
    error = refused(sql)
    assert (str(error), error.message, error.hint) == (message, message, hint)
    # The session's own words stay whole in args.
    assert error.args[0] == message + ("; " + hint if hint else "")


@pytest.mark.parametrize("tail", [";  -- saved by the tool", "; /* x */ ;", ";;"])
def test_semicolons_and_comments_after_the_statement_are_no_second_statement(tail):
    sql = "SELECT id FROM orders" + tail
    assert pellquist.rewrite(CATALOGUE, sql, {"tenant": 1}, dialect="postgres").startswith(
        'SELECT "id" FROM (SELECT')


def test_a_second_statement_is_refused():
    assert refused("SELECT id FROM orders; DELETE FROM orders").message == (
        "As of now, only select statements are supported.")
