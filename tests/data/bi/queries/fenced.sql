-- Expressions that can fail on some values (casts of text, divisions, date
-- parses) in every place a query puts them: the tables they reach are read
-- behind the fence, which must not change a row of the answer.

-- name: fenced_cast_text_to_integer_in_where
-- engines: sqlite duckdb postgres
-- ordered
SELECT sku FROM bi.products
WHERE sku LIKE 'TNT-%' OR sku LIKE 'PAP-%'
ORDER BY CAST(SUBSTR(sku, 5, 1) AS INTEGER), sku;

-- name: fenced_division_by_column
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT invoice_id, line_no, unit_price / quantity AS per_unit FROM bi.invoice_lines ORDER BY invoice_id, line_no;

-- name: fenced_division_in_join_condition
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT l.invoice_id, l.line_no
FROM bi.invoice_lines l JOIN bi.products p ON p.id = l.product_id AND p.list_price / l.quantity > 10
ORDER BY l.invoice_id, l.line_no;

-- name: fenced_cast_in_correlated_subquery
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.id,
       (SELECT SUM(CAST(l.quantity AS DECIMAL(10,2)) / l.quantity) FROM bi.invoices i
          JOIN bi.invoice_lines l ON l.invoice_id = i.id WHERE i.customer_id = c.id) AS line_count
FROM bi.customers c ORDER BY c.id;

-- name: fenced_cast_date_text
-- engines: duckdb postgres clickhouse
-- ordered
SELECT id, CAST(CAST(issued_on AS VARCHAR) AS DATE) + 1 AS next_day FROM bi.invoices ORDER BY id;

-- name: fenced_cast_in_window
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT id, SUM(CAST(credit_limit AS INTEGER) / 1000) OVER (ORDER BY id ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW) AS k
FROM bi.customers ORDER BY id;

-- name: fenced_cast_in_filter_clause
-- engines: sqlite duckdb postgres clickhouse
SELECT COUNT(*) FILTER (WHERE CAST(quantity AS VARCHAR) LIKE '1%') AS starting_with_one,
       SUM(100 / quantity) AS hundreds
FROM bi.invoice_lines;

-- name: fenced_division_in_recursive_cte
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH RECURSIVE chain AS (
  SELECT id, manager_id, CAST(COALESCE(quota, 0) AS INTEGER) / 1000 AS k FROM sales_reps WHERE manager_id IS NULL
  UNION ALL
  SELECT r.id, r.manager_id, chain.k + CAST(COALESCE(r.quota, 0) AS INTEGER) / 1000 FROM sales_reps r JOIN chain ON r.manager_id = chain.id
)
SELECT id, k FROM chain ORDER BY id;

-- name: fenced_cast_in_lateral
-- engines: duckdb postgres
-- ordered
SELECT c.id, x.avg_qty
FROM bi.customers c
LEFT JOIN LATERAL (SELECT AVG(CAST(l.quantity AS DOUBLE PRECISION)) AS avg_qty FROM bi.invoices i
                   JOIN bi.invoice_lines l ON l.invoice_id = i.id WHERE i.customer_id = c.id) x ON TRUE
ORDER BY c.id;

-- name: fenced_cast_in_set_operation
-- engines: sqlite duckdb postgres
-- ordered
SELECT CAST(quantity AS VARCHAR) AS v FROM bi.invoice_lines WHERE quantity > 10
UNION
SELECT CAST(id AS VARCHAR) FROM bi.invoices WHERE 100 / id > 10
ORDER BY v;

-- name: fenced_cast_in_group_by_and_having
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT CAST(quantity / 5 AS INTEGER) AS bucket, COUNT(*) AS n
FROM bi.invoice_lines
GROUP BY CAST(quantity / 5 AS INTEGER)
HAVING SUM(100.0 / quantity) > 1
ORDER BY bucket;

-- name: fenced_try_cast_duckdb
-- engines: duckdb
-- ordered
SELECT id, TRY_CAST(SUBSTR(sku, 5) AS INTEGER) AS number_part FROM bi.products ORDER BY id;

-- name: fenced_postgres_text_to_numeric
-- engines: postgres
-- ordered
SELECT id, substring(sku from '[0-9]+')::int AS number_part FROM bi.products
WHERE sku ~ '[0-9]' ORDER BY id;

-- name: fenced_sqlite_cast_text
-- engines: sqlite
-- ordered
SELECT id, CAST(SUBSTR(sku, INSTR(sku, '-') + 1) AS INTEGER) AS number_part FROM bi.products ORDER BY id;

-- name: fenced_cte_used_twice_with_division
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH per_line AS (SELECT invoice_id, unit_price / quantity AS per_unit FROM bi.invoice_lines)
SELECT a.invoice_id, MAX(a.per_unit) AS top, (SELECT MIN(per_unit) FROM per_line) AS floor_price
FROM per_line a GROUP BY a.invoice_id ORDER BY a.invoice_id;
