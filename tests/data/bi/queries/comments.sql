-- Queries pasted with their comments: line comments, block comments, hints
-- of an editor, comments between clauses.

-- name: comment_leading_line
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
-- monthly check of open items
SELECT id, status FROM bi.invoices WHERE status = 'open' ORDER BY id;

-- name: comment_block_in_select_list
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id /* the key */, name /* shown in the report */
FROM bi.customers /* published table */
ORDER BY id;

-- name: comment_trailing_each_line
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.name,            -- customer
       COUNT(i.id) AS n   -- invoices issued
FROM bi.customers c
LEFT JOIN bi.invoices i ON i.customer_id = c.id  -- keep customers without invoices
GROUP BY c.name
ORDER BY c.name;         -- alphabetical

-- name: comment_with_quotes_and_semicolon_text
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, 'it''s; fine' AS remark /* a comment holding 'quotes' */
FROM bi.products
ORDER BY id;

-- name: comment_in_cte_and_subquery
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH /* totals per invoice */ t AS (
  SELECT invoice_id, SUM(quantity) AS units -- units only
  FROM bi.invoice_lines GROUP BY invoice_id
)
SELECT i.id, t.units
FROM bi.invoices i JOIN t ON t.invoice_id = i.id
WHERE i.customer_id IN (SELECT id FROM bi.customers /* active ones */ WHERE active)
ORDER BY i.id;
