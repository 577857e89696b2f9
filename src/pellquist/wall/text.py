"""Text that the renderer writes outside quotes must be a plain word.

sqlglot writes some values of the tree as they are: a function name that
it does not know, a type name, a unit (EXTRACT, DATE_TRUNC), a keyword-like
variable.  If such text came from a string of the query (``o.'...'(1)``,
``CAST(x AS "...")``), it would leave its quotes in the native SQL and could
end the statement early or comment out the rewritten subquery.  Every such
value must therefore be a plain identifier (dotted parts allowed) or number.
"""

from __future__ import annotations

import re

from sqlglot import exp

_WORD = r"[A-Za-z_][A-Za-z0-9_$]*"
PLAIN_NAME = re.compile(rf"{_WORD}(?:\.{_WORD})*")
NUMBER = re.compile(r"(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|0[xX][0-9A-Fa-f]+")

# Nodes whose text is written inside quotes, with the quote escaped.
QUOTED = (exp.Identifier, exp.HexString, exp.BitString, exp.ByteString, exp.RawString,
           exp.National, exp.UnicodeString)


# Keywords of more than one word that sqlglot keeps as one string of a node
# and writes as they are: a window frame's bounds and exclusion.  Only these
# exact texts pass, whatever their case.
_KEYWORDS: dict[type, frozenset[str]] = {
    exp.WindowSpec: frozenset({"CURRENT ROW"}),
}
# The same for a variable, by where it stands: (parent class, arg key).
_VAR_KEYWORDS: dict[tuple[type, str], frozenset[str]] = {
    (exp.WindowSpec, "exclude"): frozenset({"CURRENT ROW", "NO OTHERS"}),
}


def _keyword(node: exp.Expr, value: str) -> bool:
    words = _KEYWORDS.get(type(node))
    key = node.arg_key
    if words is None and type(node) is exp.Var and node.parent is not None and key:
        words = _VAR_KEYWORDS.get((type(node.parent), key))
    return words is not None and value.upper() in words

# Per node class met: quoted, a literal, or neither.
_IS_QUOTED, _IS_LITERAL = 1, 2
_KIND: dict[type, int] = {}


def unquoted_text(node: exp.Expr) -> str | None:
    """Text of ``node`` that would be written outside quotes and is not plain, or None.

    Comments count: sqlglot writes each as ``/* text */`` without escaping,
    so a comment holding a comment marker would end early and let the rest
    of its text run as SQL.  A NUL counts anywhere, quoted or not.
    """
    comments = node.comments
    if comments:
        for comment in comments:
            if "*/" in comment or "/*" in comment or "\x00" in comment:
                return comment
    strings = [value for value in node.args.values() if isinstance(value, str)]
    for value in strings:
        # Drivers pass SQL as C strings: a NUL would end the statement there,
        # quoted or not.
        if "\x00" in value:
            return value
    kind = _KIND.get(type(node))
    if kind is None:
        kind = _KIND[type(node)] = (_IS_QUOTED if issubclass(type(node), QUOTED) else
                                    _IS_LITERAL if issubclass(type(node), exp.Literal) else 0)
    if kind == _IS_QUOTED:
        return None
    if kind == _IS_LITERAL:
        if node.args.get("is_string"):
            return None
        text = node.this
        return None if isinstance(text, str) and NUMBER.fullmatch(text) else str(text)
    for value in strings:
        if not PLAIN_NAME.fullmatch(value) and not _keyword(node, value):
            return value
    return None
