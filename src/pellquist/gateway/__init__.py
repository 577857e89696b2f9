"""``pellquist serve``: a PostgreSQL wire-protocol gateway in front of the wall.

SQL clients connect as they would to PostgreSQL and log in with SCRAM as a
gateway user; each user is a tenant (its params).  Every query goes through
``pellquist.rewrite``; catalogue queries are answered from the published
schema only; nothing else reaches the data backend.

The runtime dependencies (the ``gateway`` extra: scramp, psycopg,
psycopg-pool; DuckDB for the shadow catalogue) are imported by the modules
that use them, so ``import pellquist`` never needs them.

The gateway itself is :class:`pellquist.gateway.server.Gateway`; this
package's ``__init__`` imports nothing, so the command line can build its
parser without loading the server.
"""
