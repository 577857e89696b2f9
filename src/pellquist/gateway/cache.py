"""The rewrite cache: a statement seen before is answered without rewriting.

Tools send the same few statements over and over (a dashboard's queries, a
driver's prepared statements, its catalogue probes); the rewrite parses and
walks each one, which costs far more than the lookup here.  An entry is the
plan of one statement, found by everything the rewrite's output depends on:

* the catalogue, by a digest of its content (a gateway serves one, but a
  plan made for another catalogue must never be found);
* the tenant's params, each with its type: ``1``, ``True``, ``1.0`` and
  ``SqlString("1")`` are different tenants, although Python finds them
  equal;
* the statement's text, exactly as the client sent it;
* the dialect, and whether the extended protocol sent it (``$1`` is a
  parameter there and an error in a simple query).

Params are part of every key, so one tenant's rewrite is never served to
another: two tenants sending the same text find two entries.  Only plans are
kept (refusals are not: a refused statement is judged again), and the cache
holds at most ``size`` of them, dropping the least recently used.  It is
used from the event loop's thread alone, and so takes no lock.
"""

from __future__ import annotations

import hashlib
from collections import OrderedDict
from collections.abc import Hashable, Mapping
from typing import Any, Generic, TypeVar

from .statements import Plan

DEFAULT_SIZE = 10_000
# A longer statement is rewritten every time rather than kept: the cache's
# memory stays bounded by size * MAX_TEXT.
MAX_TEXT = 64 * 1024


def catalogue_digest(catalogue: Any) -> str:
    """A digest of the catalogue's content: its tables, filters, functions,
    fence and dialect, as the catalogue writes itself out."""
    return hashlib.sha256(repr(catalogue).encode("utf-8")).hexdigest()


def params_key(params: Mapping[str, Any]) -> tuple[tuple[str, str, str], ...]:
    """The tenant's params as a key: each name with its value's type and repr."""
    return tuple(sorted((str(k), type(v).__qualname__, repr(v)) for k, v in params.items()))


V = TypeVar("V")


class LRU(Generic[V]):
    """At most ``size`` values, the least recently used dropped first."""

    def __init__(self, size: int = DEFAULT_SIZE) -> None:
        self.size = size
        self.entries: OrderedDict[Hashable, V] = OrderedDict()
        self.hits = 0
        self.misses = 0

    def get(self, key: Hashable) -> V | None:
        value = self.entries.get(key)
        if value is None:
            self.misses += 1
            return None
        self.entries.move_to_end(key)
        self.hits += 1
        return value

    def put(self, key: Hashable, value: V, sql: str) -> None:
        """Keeps ``value``, made from the text ``sql``, unless that text is
        over MAX_TEXT."""
        if self.size <= 0 or len(sql) > MAX_TEXT:
            return
        self.entries[key] = value
        self.entries.move_to_end(key)
        while len(self.entries) > self.size:
            self.entries.popitem(last=False)

    def __len__(self) -> int:
        return len(self.entries)


class RewriteCache(LRU[Plan]):
    """Plans by (catalogue, params, text, dialect, protocol)."""

    @staticmethod
    def key(catalogue: str, params: Hashable, sql: str, dialect: str,
            extended: bool) -> Hashable:
        return (catalogue, params, dialect, extended, sql)
