-- Subqueries: scalar, IN, EXISTS, correlated, derived tables, ANY/ALL,
-- LATERAL.

-- name: scalar_subquery_in_select
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.id, c.name,
       (SELECT COUNT(*) FROM bi.invoices i WHERE i.customer_id = c.id) AS invoices,
       (SELECT MAX(i.issued_on) FROM bi.invoices i WHERE i.customer_id = c.id) AS last_invoice
FROM bi.customers c
ORDER BY c.id;

-- name: scalar_subquery_uncorrelated_in_where
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT sku, list_price FROM bi.products
WHERE list_price > (SELECT AVG(list_price) FROM bi.products)
ORDER BY sku;

-- name: scalar_subquery_ratio_to_max
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT sku, ROUND(list_price / (SELECT MAX(list_price) FROM bi.products), 3) AS of_max
FROM bi.products ORDER BY sku;

-- name: in_subquery
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, name FROM bi.customers
WHERE id IN (SELECT customer_id FROM bi.invoices WHERE status = 'overdue')
ORDER BY id;

-- name: not_in_subquery
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, sku FROM bi.products
WHERE id NOT IN (SELECT product_id FROM bi.invoice_lines WHERE product_id IS NOT NULL)
ORDER BY id;

-- name: exists_correlated
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.name FROM bi.customers c
WHERE EXISTS (SELECT 1 FROM bi.invoices i WHERE i.customer_id = c.id AND i.currency <> 'EUR')
ORDER BY c.name;

-- name: not_exists_correlated
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT r.full_name FROM sales_reps r
WHERE NOT EXISTS (SELECT * FROM bi.customers c WHERE c.rep_id = r.id AND c.segment = 'Enterprise')
ORDER BY r.full_name;

-- name: correlated_above_customer_average
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT l.invoice_id, l.line_no, l.quantity
FROM bi.invoice_lines l
WHERE l.quantity > (SELECT AVG(l2.quantity) FROM bi.invoice_lines l2 WHERE l2.product_id = l.product_id)
ORDER BY l.invoice_id, l.line_no;

-- name: correlated_unqualified_outer_column
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, sku FROM bi.products
WHERE EXISTS (SELECT 1 FROM bi.invoice_lines WHERE product_id = id AND quantity >= 20)
ORDER BY id;

-- name: correlated_table_name_qualified
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customers.id,
       (SELECT COUNT(*) FROM bi.invoices WHERE invoices.customer_id = customers.id) AS n
FROM bi.customers
ORDER BY customers.id;

-- name: derived_table_two_levels
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT status, AVG(total) AS avg_total FROM (
  SELECT i.status, t.total FROM bi.invoices i
  JOIN (SELECT invoice_id, SUM(quantity * unit_price) AS total FROM bi.invoice_lines GROUP BY invoice_id) t
    ON t.invoice_id = i.id
) x
GROUP BY status
ORDER BY status;

-- name: derived_table_select_star
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT * FROM (SELECT * FROM bi.products WHERE category = 'Paper' OR category = 'Tents') p ORDER BY p.id;

-- name: subquery_in_having
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customer_id, COUNT(*) AS n FROM bi.invoices
GROUP BY customer_id
HAVING COUNT(*) > (SELECT COUNT(*) * 1.0 / COUNT(DISTINCT customer_id) FROM bi.invoices)
ORDER BY customer_id;

-- name: subquery_in_case
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id,
       CASE WHEN id IN (SELECT invoice_id FROM bi.invoice_lines) THEN 'has lines' ELSE 'empty' END AS kind
FROM bi.invoices ORDER BY id;

-- name: subquery_in_order_by
-- engines: sqlite duckdb postgres
-- ordered
SELECT c.id, c.name FROM bi.customers c
ORDER BY (SELECT COUNT(*) FROM bi.invoices i WHERE i.customer_id = c.id) DESC, c.id;

-- name: in_with_tuple_of_lookup
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id FROM bi.customers
WHERE country_code IN (SELECT code FROM countries WHERE region = 'Europe' AND NOT in_eu)
ORDER BY id;

-- name: any_all_comparisons
-- engines: duckdb postgres clickhouse
-- ordered
SELECT sku FROM bi.products
WHERE list_price > ALL (SELECT unit_price FROM bi.invoice_lines WHERE quantity >= 50)
   OR list_price = ANY (SELECT unit_price FROM bi.invoice_lines WHERE discount = 0)
ORDER BY sku;

-- name: lateral_last_two_invoices
-- engines: duckdb postgres spark
-- ordered
SELECT c.id, li.id AS invoice_id, li.issued_on
FROM bi.customers c
CROSS JOIN LATERAL (
  SELECT i.id, i.issued_on FROM bi.invoices i
  WHERE i.customer_id = c.id ORDER BY i.issued_on DESC, i.id DESC LIMIT 2
) li
ORDER BY c.id, li.issued_on, li.id;

-- name: left_join_lateral_totals
-- engines: duckdb postgres spark
-- ordered
SELECT i.id, t.lines, t.units
FROM bi.invoices i
LEFT JOIN LATERAL (
  SELECT COUNT(*) AS lines, SUM(l.quantity) AS units FROM bi.invoice_lines l WHERE l.invoice_id = i.id
) t ON TRUE
ORDER BY i.id;

-- name: lateral_comma_form
-- engines: duckdb postgres spark
-- ordered
SELECT p.sku, s.units
FROM bi.products p,
     LATERAL (SELECT SUM(quantity) AS units FROM bi.invoice_lines l WHERE l.product_id = p.id) s
ORDER BY p.sku;

-- name: exists_with_join_inside
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.id FROM bi.customers c
WHERE EXISTS (
  SELECT 1 FROM bi.invoices i JOIN bi.invoice_lines l ON l.invoice_id = i.id
  JOIN bi.products p ON p.id = l.product_id
  WHERE i.customer_id = c.id AND p.discontinued
)
ORDER BY c.id;

-- name: nested_in_subqueries
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT name FROM bi.customers WHERE id IN (
  SELECT customer_id FROM bi.invoices WHERE id IN (
    SELECT invoice_id FROM bi.invoice_lines WHERE product_id IN (
      SELECT id FROM bi.products WHERE category = 'Furniture' OR category = 'Tents')))
ORDER BY name;

-- name: scalar_subquery_from_lookup
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.id, (SELECT co.name FROM countries co WHERE co.code = c.country_code) AS country
FROM bi.customers c ORDER BY c.id;

-- name: correlated_subquery_two_levels_up
-- engines: sqlite duckdb postgres
-- ordered
SELECT c.id FROM bi.customers c
WHERE EXISTS (
  SELECT 1 FROM bi.invoices i
  WHERE i.customer_id = c.id
    AND EXISTS (SELECT 1 FROM sales_reps r WHERE r.id = c.rep_id AND r.hired_on < i.issued_on)
)
ORDER BY c.id;

-- name: row_value_in_subquery
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT invoice_id, line_no FROM bi.invoice_lines
WHERE (invoice_id, product_id) IN (SELECT invoice_id, product_id FROM bi.invoice_lines WHERE quantity > 10)
ORDER BY invoice_id, line_no;
