-- Subtotals: GROUPING SETS, ROLLUP, CUBE and GROUPING().

-- name: rollup_currency_status
-- engines: duckdb postgres clickhouse spark
SELECT currency, status, COUNT(*) AS n
FROM bi.invoices
GROUP BY ROLLUP (currency, status);

-- name: rollup_with_grouping_labels
-- engines: duckdb postgres clickhouse spark
-- ordered
SELECT CASE WHEN GROUPING(p.category) = 1 THEN 'All categories' ELSE COALESCE(p.category, '(none)') END AS category,
       SUM(l.quantity) AS units
FROM bi.invoice_lines l JOIN bi.products p ON p.id = l.product_id
GROUP BY ROLLUP (p.category)
ORDER BY GROUPING(p.category), category;

-- name: cube_segment_country
-- engines: duckdb postgres clickhouse
SELECT segment, country_code, COUNT(*) AS customers, GROUPING(segment, country_code) AS level
FROM bi.customers
GROUP BY CUBE (segment, country_code);

-- name: grouping_sets_explicit
-- engines: duckdb postgres clickhouse spark
SELECT status, currency, COUNT(*) AS n
FROM bi.invoices
GROUP BY GROUPING SETS ((status), (currency), ());

-- name: grouping_sets_with_join
-- engines: duckdb postgres clickhouse spark
SELECT c.segment, i.status, SUM(l.quantity * l.unit_price) AS amount
FROM bi.invoices i
JOIN bi.customers c ON c.id = i.customer_id
JOIN bi.invoice_lines l ON l.invoice_id = i.id
GROUP BY GROUPING SETS ((c.segment, i.status), (c.segment), ());

-- name: rollup_year_month_postgres
-- engines: postgres
SELECT EXTRACT(YEAR FROM issued_on) AS yr, EXTRACT(MONTH FROM issued_on) AS mon, COUNT(*) AS n
FROM bi.invoices
GROUP BY ROLLUP (EXTRACT(YEAR FROM issued_on), EXTRACT(MONTH FROM issued_on));

-- name: rollup_year_month_duckdb
-- engines: duckdb
SELECT year(issued_on) AS yr, month(issued_on) AS mon, COUNT(*) AS n
FROM bi.invoices
GROUP BY ROLLUP (yr, mon);

-- name: partial_rollup
-- engines: duckdb postgres spark
SELECT currency, status, customer_id, COUNT(*) AS n
FROM bi.invoices
GROUP BY currency, ROLLUP (status, customer_id);

-- name: cube_in_cte_then_filter
-- engines: duckdb postgres clickhouse spark
-- ordered
WITH cubed AS (
  SELECT region, in_eu, COUNT(*) AS n, GROUPING(region) AS g_region, GROUPING(in_eu) AS g_eu
  FROM countries GROUP BY CUBE (region, in_eu)
)
SELECT region, n FROM cubed WHERE g_eu = 1 AND g_region = 0 ORDER BY region;

-- name: grouping_sets_customers_lookup
-- engines: duckdb postgres clickhouse spark
SELECT co.region, c.segment, COUNT(*) AS customers, SUM(c.credit_limit) AS credit
FROM bi.customers c LEFT JOIN countries co ON co.code = c.country_code
GROUP BY GROUPING SETS ((co.region), (c.segment));
