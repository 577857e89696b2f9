"""The PostgreSQL v3 wire format: reading client messages, writing server ones.

Only the framing and field layout live here; what a message means is the
session's business.  Every length read off the wire is checked against a cap
before anything is allocated for it, so a client cannot make the gateway
hold more than one capped message at a time.
"""

from __future__ import annotations

import asyncio
import struct
from collections.abc import Sequence
from dataclasses import dataclass

PROTOCOL_3_0 = 196608
SSL_REQUEST = 80877103
GSSENC_REQUEST = 80877104
CANCEL_REQUEST = 80877102

# PostgreSQL itself refuses a startup packet over 10,000 bytes.
MAX_STARTUP = 10_000
# The largest regular message accepted by default: a query the rewrite would
# take (100,000 characters) with room for many bound parameters.
DEFAULT_MAX_MESSAGE = 8 * 1024 * 1024

_I16 = struct.Struct("!h")
_I32 = struct.Struct("!i")
_U32 = struct.Struct("!I")


class ProtocolError(Exception):
    """The client broke the protocol; the connection is closed after saying so.

    ``sqlstate`` is what the ErrorResponse carries (08P01 by default)."""

    def __init__(self, message: str, sqlstate: str = "08P01") -> None:
        super().__init__(message)
        self.sqlstate = sqlstate


class Reader:
    """Fields of one message body, read front to back."""

    __slots__ = ("data", "pos")

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def _take(self, n: int) -> bytes:
        if n < 0 or self.pos + n > len(self.data):
            raise ProtocolError("message shorter than its fields")
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def int16(self) -> int:
        value: int = _I16.unpack(self._take(2))[0]
        return value

    def int32(self) -> int:
        value: int = _I32.unpack(self._take(4))[0]
        return value

    def uint32(self) -> int:
        value: int = _U32.unpack(self._take(4))[0]
        return value

    def byte(self) -> bytes:
        return self._take(1)

    def cstring(self) -> str:
        end = self.data.find(b"\x00", self.pos)
        if end < 0:
            raise ProtocolError("string field without its terminating zero byte")
        raw = self.data[self.pos:end]
        self.pos = end + 1
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError:
            raise ProtocolError("invalid byte sequence for encoding \"UTF8\"", "22021") from None

    def bytes_(self, n: int) -> bytes:
        return self._take(n)

    def rest(self) -> bytes:
        chunk = self.data[self.pos:]
        self.pos = len(self.data)
        return chunk

    def done(self) -> None:
        if self.pos != len(self.data):
            raise ProtocolError("message longer than its fields")


async def read_startup(reader: asyncio.StreamReader) -> tuple[int, Reader]:
    """A startup-phase packet (no type byte): its code and the rest of it."""
    head = await reader.readexactly(4)
    length = _I32.unpack(head)[0]
    if length < 8 or length > MAX_STARTUP:
        raise ProtocolError(f"invalid startup packet length {length}")
    body = await reader.readexactly(length - 4)
    r = Reader(body)
    return r.int32(), r


async def read_message(reader: asyncio.StreamReader, cap: int) -> tuple[bytes, bytes]:
    """One regular message: its type byte and its body, refused over ``cap`` bytes."""
    head = await reader.readexactly(5)
    kind, length = head[:1], _I32.unpack(head[1:])[0]
    if length < 4:
        raise ProtocolError(f"invalid message length {length}")
    if length - 4 > cap:
        raise ProtocolError(f"message of {length - 4:,} bytes is over the limit of {cap:,}",
                            "54000")
    return kind, await reader.readexactly(length - 4)


def startup_params(r: Reader) -> dict[str, str]:
    """The name/value pairs of a StartupMessage."""
    params: dict[str, str] = {}
    while True:
        name = r.cstring()
        if not name:
            break
        params[name] = r.cstring()
    r.done()
    return params


# ---- server messages -------------------------------------------------------------

def message(kind: bytes, body: bytes = b"") -> bytes:
    return kind + _I32.pack(len(body) + 4) + body


def cstr(text: str) -> bytes:
    return text.replace("\x00", "").encode("utf-8") + b"\x00"


def auth_ok() -> bytes:
    return message(b"R", _I32.pack(0))


def auth_sasl(mechanisms: Sequence[str]) -> bytes:
    return message(b"R", _I32.pack(10) + b"".join(cstr(m) for m in mechanisms) + b"\x00")


def auth_sasl_continue(data: bytes) -> bytes:
    return message(b"R", _I32.pack(11) + data)


def auth_sasl_final(data: bytes) -> bytes:
    return message(b"R", _I32.pack(12) + data)


def parameter_status(name: str, value: str) -> bytes:
    return message(b"S", cstr(name) + cstr(value))


def backend_key_data(pid: int, key: int) -> bytes:
    return message(b"K", _I32.pack(pid) + _U32.pack(key))


def ready_for_query(status: str) -> bytes:
    return message(b"Z", status.encode("ascii"))


@dataclass(frozen=True, slots=True)
class Field:
    """One column of a RowDescription.  Table OID and column number are
    always sent as zero: they would identify the internal table."""

    name: str
    type_oid: int
    type_size: int = -1
    type_mod: int = -1


def row_description(fields: Sequence[Field], formats: Sequence[int]) -> bytes:
    parts = [_I16.pack(len(fields))]
    for f, fmt in zip(fields, formats):
        parts.append(cstr(f.name) + struct.pack("!ihihih", 0, 0, f.type_oid, f.type_size,
                                                 f.type_mod, fmt))
    return message(b"T", b"".join(parts))


def data_row(values: Sequence[bytes | None]) -> bytes:
    parts = [_I16.pack(len(values))]
    for v in values:
        if v is None:
            parts.append(b"\xff\xff\xff\xff")
        else:
            parts.append(_I32.pack(len(v)))
            parts.append(v)
    return message(b"D", b"".join(parts))


def command_complete(tag: str) -> bytes:
    return message(b"C", cstr(tag))


def empty_query() -> bytes:
    return message(b"I")


def parse_complete() -> bytes:
    return message(b"1")


def bind_complete() -> bytes:
    return message(b"2")


def close_complete() -> bytes:
    return message(b"3")


def no_data() -> bytes:
    return message(b"n")


def portal_suspended() -> bytes:
    return message(b"s")


def parameter_description(oids: Sequence[int]) -> bytes:
    return message(b"t", _I16.pack(len(oids)) + b"".join(_U32.pack(o) for o in oids))


def error_response(sqlstate: str, text: str, severity: str = "ERROR") -> bytes:
    return message(b"E", _notice_fields(sqlstate, text, severity))


def notice_response(sqlstate: str, text: str, severity: str = "NOTICE") -> bytes:
    return message(b"N", _notice_fields(sqlstate, text, severity))


def _notice_fields(sqlstate: str, text: str, severity: str) -> bytes:
    return (b"S" + cstr(severity) + b"V" + cstr(severity) + b"C" + cstr(sqlstate)
            + b"M" + cstr(text) + b"\x00")
