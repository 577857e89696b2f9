-- Common table expressions: several in one WITH, one reading another,
-- nested WITH inside a CTE or a subquery, recursion.

-- name: cte_single
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH totals AS (
  SELECT invoice_id, SUM(quantity * unit_price) AS total FROM bi.invoice_lines GROUP BY invoice_id
)
SELECT invoice_id, total FROM totals WHERE total > 1000 ORDER BY invoice_id;

-- name: cte_chain_three
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH lines AS (
  SELECT l.invoice_id, l.quantity * l.unit_price * (1 - COALESCE(l.discount, 0)) AS net
  FROM bi.invoice_lines l
), per_invoice AS (
  SELECT invoice_id, SUM(net) AS net FROM lines GROUP BY invoice_id
), per_customer AS (
  SELECT i.customer_id, SUM(p.net) AS net, COUNT(*) AS invoices
  FROM per_invoice p JOIN bi.invoices i ON i.id = p.invoice_id
  GROUP BY i.customer_id
)
SELECT c.name, pc.invoices, ROUND(pc.net, 2) AS net
FROM per_customer pc JOIN bi.customers c ON c.id = pc.customer_id
ORDER BY pc.net DESC, c.name;

-- name: cte_used_twice
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH inv AS (SELECT id, customer_id, status FROM bi.invoices)
SELECT a.customer_id, COUNT(*) AS pairs
FROM inv a JOIN inv b ON a.customer_id = b.customer_id AND a.id < b.id
GROUP BY a.customer_id
ORDER BY a.customer_id;

-- name: cte_named_like_public_table
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH customers AS (SELECT id, name FROM bi.customers WHERE active)
SELECT customers.id, customers.name FROM customers ORDER BY customers.id;

-- name: cte_with_column_list
-- engines: sqlite duckdb postgres clickhouse
-- ordered
WITH monthly (month, invoices) AS (
  SELECT SUBSTR(CAST(issued_on AS VARCHAR), 1, 7), COUNT(*) FROM bi.invoices GROUP BY 1
)
SELECT month, invoices FROM monthly ORDER BY month;

-- name: nested_with_in_cte
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH outer_cte AS (
  WITH inner_cte AS (SELECT customer_id, COUNT(*) AS n FROM bi.invoices GROUP BY customer_id)
  SELECT customer_id, n FROM inner_cte WHERE n > 1
)
SELECT c.name, o.n FROM outer_cte o JOIN bi.customers c ON c.id = o.customer_id ORDER BY c.name;

-- name: with_inside_subquery
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT name FROM bi.customers
WHERE id IN (
  WITH big AS (SELECT invoice_id FROM bi.invoice_lines WHERE quantity >= 20)
  SELECT i.customer_id FROM bi.invoices i JOIN big ON big.invoice_id = i.id
)
ORDER BY name;

-- name: with_inside_derived_table
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT s.category, s.n FROM (
  WITH p AS (SELECT category FROM bi.products WHERE NOT discontinued)
  SELECT category, COUNT(*) AS n FROM p GROUP BY category
) AS s
ORDER BY s.category NULLS LAST;

-- name: cte_referencing_lookup_and_filtered
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH eu AS (SELECT code FROM countries WHERE in_eu),
     eu_customers AS (SELECT id, name FROM bi.customers WHERE country_code IN (SELECT code FROM eu))
SELECT id, name FROM eu_customers ORDER BY id;

-- name: recursive_rep_hierarchy
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH RECURSIVE chain AS (
  SELECT id, full_name, manager_id, 0 AS depth, full_name AS path
  FROM sales_reps WHERE manager_id IS NULL
  UNION ALL
  SELECT r.id, r.full_name, r.manager_id, chain.depth + 1, chain.path || ' > ' || r.full_name
  FROM sales_reps r JOIN chain ON r.manager_id = chain.id
)
SELECT id, depth, path FROM chain ORDER BY id;

-- name: recursive_numbers_month_spine
-- engines: sqlite duckdb postgres clickhouse
-- ordered
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 12),
months AS (SELECT CASE WHEN i < 10 THEN '2024-0' ELSE '2024-' END || CAST(i AS VARCHAR) AS month FROM n)
SELECT m.month, COUNT(i.id) AS invoices
FROM months m
LEFT JOIN bi.invoices i ON SUBSTR(CAST(i.issued_on AS VARCHAR), 1, 7) = m.month
GROUP BY m.month
ORDER BY m.month;

-- name: recursive_team_size
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH RECURSIVE team(boss, member) AS (
  SELECT id, id FROM sales_reps
  UNION ALL
  SELECT team.boss, r.id FROM team JOIN sales_reps r ON r.manager_id = team.member
)
SELECT boss, COUNT(*) - 1 AS reports FROM team GROUP BY boss ORDER BY boss;

-- name: cte_aggregate_then_window
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH per_cat AS (
  SELECT p.category, SUM(l.quantity * l.unit_price) AS revenue
  FROM bi.invoice_lines l JOIN bi.products p ON p.id = l.product_id
  GROUP BY p.category
)
SELECT category, revenue, RANK() OVER (ORDER BY revenue DESC) AS rnk
FROM per_cat
ORDER BY rnk, category;

-- name: cte_mixed_case_names
-- engines: sqlite duckdb postgres spark
-- ordered
WITH Paid_Invoices AS (SELECT Id, Customer_Id FROM Bi.Invoices WHERE Paid_On IS NOT NULL)
SELECT Customer_Id, Count(*) AS N FROM Paid_Invoices GROUP BY Customer_Id ORDER BY Customer_Id;

-- name: cte_shadows_and_reads_published
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH invoices AS (SELECT * FROM bi.invoices WHERE status <> 'void')
SELECT invoices.status, COUNT(*) FROM invoices GROUP BY invoices.status ORDER BY 1;

-- name: cte_joined_with_published_table_same_short_name
-- engines: sqlite duckdb spark
-- ordered
WITH products AS (SELECT product_id, SUM(quantity) AS units FROM bi.invoice_lines GROUP BY product_id)
SELECT bi.products.sku, products.units
FROM bi.products JOIN products ON products.product_id = bi.products.id
ORDER BY bi.products.sku;

-- name: cte_materialized_hint
-- engines: sqlite duckdb postgres clickhouse
-- ordered
WITH t AS MATERIALIZED (SELECT customer_id, COUNT(*) AS n FROM bi.invoices GROUP BY customer_id)
SELECT customer_id, n FROM t ORDER BY customer_id;

-- name: cte_not_materialized_hint
-- engines: postgres
-- ordered
WITH t AS NOT MATERIALIZED (SELECT id, list_price FROM bi.products)
SELECT id FROM t WHERE list_price > 50 ORDER BY id;

-- name: four_ctes_report
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH c AS (SELECT id, name, rep_id FROM bi.customers),
     i AS (SELECT id, customer_id FROM bi.invoices WHERE status <> 'void'),
     l AS (SELECT invoice_id, SUM(quantity * unit_price) AS amount FROM bi.invoice_lines GROUP BY invoice_id),
     r AS (SELECT id, full_name FROM sales_reps)
SELECT r.full_name, COUNT(DISTINCT c.id) AS customers, SUM(l.amount) AS amount
FROM r
JOIN c ON c.rep_id = r.id
JOIN i ON i.customer_id = c.id
JOIN l ON l.invoice_id = i.id
GROUP BY r.full_name
ORDER BY r.full_name;
