"""PostgreSQL's text and binary forms of values, for the engines that are not
PostgreSQL (DuckDB, SQLite, the shadow catalogue): results go out in them,
bound parameters come in in them.  A PostgreSQL backend's bytes are passed
through as they are and never come here.
"""

from __future__ import annotations

import datetime
import decimal
import math
import struct
import uuid
from typing import Any

from .errors import GatewayError

BOOL, BYTEA, INT8, INT2, INT4, TEXT, FLOAT4, FLOAT8 = 16, 17, 20, 21, 23, 25, 700, 701
VARCHAR, DATE, TIME, TIMESTAMP, TIMESTAMPTZ, INTERVAL, NUMERIC, UUID = (
    1043, 1082, 1083, 1114, 1184, 1186, 1700, 2950)
UNKNOWN = 705

# Fixed sizes of the types, as RowDescription reports them.
SIZES = {BOOL: 1, INT2: 2, INT4: 4, INT8: 8, FLOAT4: 4, FLOAT8: 8, DATE: 4, TIME: 8,
         TIMESTAMP: 8, TIMESTAMPTZ: 8, INTERVAL: 16, UUID: 16}

_DUCKDB = {
    "BOOLEAN": BOOL, "TINYINT": INT2, "SMALLINT": INT2, "UTINYINT": INT2, "INTEGER": INT4,
    "USMALLINT": INT4, "BIGINT": INT8, "UINTEGER": INT8, "UBIGINT": NUMERIC,
    "HUGEINT": NUMERIC, "UHUGEINT": NUMERIC, "FLOAT": FLOAT4, "DOUBLE": FLOAT8,
    "VARCHAR": TEXT, "DATE": DATE, "TIME": TIME, "TIMESTAMP": TIMESTAMP,
    "TIMESTAMP_NS": TIMESTAMP, "TIMESTAMP_MS": TIMESTAMP, "TIMESTAMP_S": TIMESTAMP,
    "TIMESTAMP WITH TIME ZONE": TIMESTAMPTZ, "INTERVAL": INTERVAL, "BLOB": BYTEA,
    "UUID": UUID,
}


def duckdb_oid(type_name: str) -> int:
    """The PostgreSQL type a DuckDB column is described as; text for the
    types PostgreSQL has no plain counterpart of (lists, structs, maps)."""
    name = type_name.upper()
    if name.startswith("DECIMAL"):
        return NUMERIC
    return _DUCKDB.get(name, TEXT)


_EPOCH_DATE = datetime.date(2000, 1, 1)
_EPOCH = datetime.datetime(2000, 1, 1)
_EPOCH_TZ = datetime.datetime(2000, 1, 1, tzinfo=datetime.UTC)


def _micros(delta: datetime.timedelta) -> int:
    return (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds


def text(value: Any) -> bytes:
    """``value`` in PostgreSQL's text output form."""
    if isinstance(value, bool):
        return b"t" if value else b"f"
    if isinstance(value, float):
        if math.isnan(value):
            return b"NaN"
        if math.isinf(value):
            return b"Infinity" if value > 0 else b"-Infinity"
        return repr(value).encode()
    if isinstance(value, decimal.Decimal):
        return format(value, "f").encode()
    if isinstance(value, datetime.datetime):
        return value.isoformat(sep=" ").encode()
    if isinstance(value, datetime.date | datetime.time):
        return value.isoformat().encode()
    if isinstance(value, datetime.timedelta):
        micros = _micros(value)
        sign = "-" if micros < 0 else ""
        days, rest = divmod(abs(micros), 86_400_000_000)
        seconds, us = divmod(rest, 1_000_000)
        clock = f"{seconds // 3600:02}:{seconds // 60 % 60:02}:{seconds % 60:02}"
        return (f"{sign}{days} days {sign}{clock}" + (f".{us:06}" if us else "")).encode()
    if isinstance(value, bytes | bytearray | memoryview):
        return b"\\x" + bytes(value).hex().encode()
    return str(value).encode("utf-8")


def binary(oid: int, value: Any) -> bytes:
    """``value`` in the binary form of type ``oid``; GatewayError for a type
    whose binary form the gateway does not write."""
    try:
        if oid == BOOL:
            return b"\x01" if value else b"\x00"
        if oid == INT2:
            return struct.pack("!h", value)
        if oid == INT4:
            return struct.pack("!i", value)
        if oid == INT8:
            return struct.pack("!q", value)
        if oid == FLOAT4:
            return struct.pack("!f", value)
        if oid == FLOAT8:
            return struct.pack("!d", value)
        if oid in (TEXT, VARCHAR, UNKNOWN):
            return text(value)
        if oid == BYTEA:
            return bytes(value)
        if oid == DATE:
            return struct.pack("!i", (value - _EPOCH_DATE).days)
        if oid == TIMESTAMP:
            return struct.pack("!q", _micros(value.replace(tzinfo=None) - _EPOCH))
        if oid == TIMESTAMPTZ:
            moment = value if value.tzinfo else value.replace(tzinfo=datetime.UTC)
            return struct.pack("!q", _micros(moment - _EPOCH_TZ))
        if oid == TIME:
            return struct.pack("!q", ((value.hour * 60 + value.minute) * 60 + value.second)
                               * 1_000_000 + value.microsecond)
        if oid == INTERVAL:
            return struct.pack("!qii", _micros(value) - value.days * 86_400_000_000,
                               value.days, 0)
        if oid == UUID:
            return uuid.UUID(str(value)).bytes
        if oid == NUMERIC:
            return _numeric(decimal.Decimal(value))
    except (struct.error, TypeError, ValueError, AttributeError, OverflowError):
        raise GatewayError("22P03", "a value does not fit the binary format of its column") from None
    raise GatewayError("0A000", f"binary results for type {oid} are not supported; "
                       "ask for text results")


def _numeric(value: decimal.Decimal) -> bytes:
    if value.is_nan():
        return struct.pack("!hhHH", 0, 0, 0xC000, 0)
    if value.is_infinite():
        return struct.pack("!hhHH", 0, 0, 0xD000 if value > 0 else 0xF000, 0)
    whole, _, fraction = format(abs(value), "f").partition(".")
    whole = whole.lstrip("0")
    whole = whole.zfill(-(-len(whole) // 4) * 4)
    fraction_padded = fraction + "0" * (-len(fraction) % 4)
    groups = ([int(whole[i:i + 4]) for i in range(0, len(whole), 4)]
              + [int(fraction_padded[i:i + 4]) for i in range(0, len(fraction_padded), 4)])
    weight = len(whole) // 4 - 1
    while groups and groups[0] == 0:
        groups.pop(0)
        weight -= 1
    while groups and groups[-1] == 0:
        groups.pop()
    if not groups:
        weight = 0
    sign = 0x4000 if value < 0 else 0
    return (struct.pack("!hhHH", len(groups), weight, sign, len(fraction))
            + b"".join(struct.pack("!h", g) for g in groups))


def decode_param(oid: int, fmt: int, raw: bytes | None) -> Any:
    """A bound parameter as a Python value for DuckDB or SQLite.

    Text of an unspecified type stays a string, which the engine casts where
    the query uses it, as PostgreSQL does with a parameter of unknown type."""
    if raw is None:
        return None
    try:
        if fmt == 0:
            s = raw.decode("utf-8")
            if oid in (INT2, INT4, INT8):
                return int(s)
            if oid in (FLOAT4, FLOAT8):
                return float(s)
            if oid == NUMERIC:
                return decimal.Decimal(s)
            if oid == BOOL:
                return s.strip().lower() in ("t", "true", "1", "y", "yes", "on")
            if oid == DATE:
                return datetime.date.fromisoformat(s)
            if oid in (TIMESTAMP, TIMESTAMPTZ):
                return datetime.datetime.fromisoformat(s)
            if oid == BYTEA and s.startswith("\\x"):
                return bytes.fromhex(s[2:])
            return s
        if oid in (TEXT, VARCHAR, UNKNOWN, 0):
            return raw.decode("utf-8")
        if oid == BOOL:
            return raw != b"\x00"
        if oid == INT2:
            return struct.unpack("!h", raw)[0]
        if oid == INT4:
            return struct.unpack("!i", raw)[0]
        if oid == INT8:
            return struct.unpack("!q", raw)[0]
        if oid == FLOAT4:
            return struct.unpack("!f", raw)[0]
        if oid == FLOAT8:
            return struct.unpack("!d", raw)[0]
        if oid == BYTEA:
            return raw
        if oid == DATE:
            return _EPOCH_DATE + datetime.timedelta(days=struct.unpack("!i", raw)[0])
        if oid == TIMESTAMP:
            return _EPOCH + datetime.timedelta(microseconds=struct.unpack("!q", raw)[0])
        if oid == TIMESTAMPTZ:
            return _EPOCH_TZ + datetime.timedelta(microseconds=struct.unpack("!q", raw)[0])
        if oid == NUMERIC:
            return _decode_numeric(raw)
    except (ValueError, struct.error, UnicodeDecodeError, decimal.InvalidOperation,
            OverflowError):
        raise GatewayError("22P02", "invalid value for a bound parameter of its type") from None
    raise GatewayError("0A000", f"binary parameters of type {oid} are not supported; "
                       "send them as text")


def _decode_numeric(raw: bytes) -> decimal.Decimal:
    ndigits, weight, sign, dscale = struct.unpack("!hhHH", raw[:8])
    if sign == 0xC000:
        return decimal.Decimal("NaN")
    digits = struct.unpack(f"!{ndigits}h", raw[8:8 + 2 * ndigits])
    value = decimal.Decimal(0)
    for i, d in enumerate(digits):
        value += decimal.Decimal(d).scaleb(4 * (weight - i))
    value = value.quantize(decimal.Decimal(1).scaleb(-dscale)) if dscale else value
    return -value if sign == 0x4000 else value


def param_types(sql: str, dialect: str, schema: dict[str, dict[str, dict[str, str]]]
                ) -> dict[int, int]:
    """Parameter number -> type of each ``$n`` of ``sql`` whose type shows
    from where it stands: compared with, or IN a list against, a typed
    expression, or cast.  ``schema`` is the engine's: schema -> table ->
    column -> type."""
    import sqlglot
    from sqlglot import exp
    from sqlglot.optimizer.annotate_types import annotate_types
    from sqlglot.optimizer.qualify import qualify

    tables: dict[str, object] = dict(schema)
    tree = qualify(sqlglot.parse_one(sql, read=dialect), schema=tables, dialect=dialect,
                   db="main")
    tree = annotate_types(tree, schema=tables, dialect=dialect)
    found: dict[int, int] = {}
    for node in tree.find_all(exp.Placeholder, exp.Parameter):
        number = node.name
        if not number.isdigit():
            continue
        parent = node.parent
        other: Any = None
        if isinstance(parent, exp.Cast):
            other = parent.to
        elif isinstance(parent, exp.Binary):
            other = parent.left if parent.right is node else parent.right
        elif isinstance(parent, exp.In | exp.Between):
            other = parent.this if parent.this is not node else None
        kind = other.type if other is not None and not isinstance(other, exp.DataType) else other
        oid = _SQLGLOT_TYPES.get(kind.this.name, 0) if isinstance(kind, exp.DataType) else 0
        if oid:
            found[int(number)] = oid
    return found


_SQLGLOT_TYPES = {
    "BOOLEAN": BOOL, "TINYINT": INT2, "SMALLINT": INT2, "INT": INT4, "BIGINT": INT8,
    "FLOAT": FLOAT4, "DOUBLE": FLOAT8, "DECIMAL": NUMERIC, "VARCHAR": TEXT, "TEXT": TEXT,
    "CHAR": TEXT, "DATE": DATE, "TIMESTAMP": TIMESTAMP, "TIMESTAMPTZ": TIMESTAMPTZ,
    "UUID": UUID, "BLOB": BYTEA, "VARBINARY": BYTEA,
}
