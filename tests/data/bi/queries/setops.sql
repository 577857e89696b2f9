-- UNION, EXCEPT and INTERSECT: at the top of the statement, with ORDER BY
-- and LIMIT over the whole, and inside subqueries and CTEs.

-- name: union_all_customer_and_rep_names
-- engines: sqlite duckdb postgres clickhouse spark
SELECT name AS label, 'customer' AS kind FROM bi.customers
UNION ALL
SELECT full_name, 'rep' FROM sales_reps;

-- name: union_distinct_country_codes
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT country_code AS code FROM bi.customers WHERE country_code IS NOT NULL
UNION
SELECT code FROM countries WHERE region = 'Asia'
ORDER BY code;

-- name: union_order_limit
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT id, issued_on AS day, 'issued' AS event FROM bi.invoices
UNION ALL
SELECT id, paid_on, 'paid' FROM bi.invoices WHERE paid_on IS NOT NULL
ORDER BY day DESC, id, event
LIMIT 10;

-- name: except_customers_with_invoices
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id FROM bi.customers
EXCEPT
SELECT customer_id FROM bi.invoices
ORDER BY id;

-- name: intersect_products_sold_and_active
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT product_id FROM bi.invoice_lines
INTERSECT
SELECT id FROM bi.products WHERE NOT discontinued
ORDER BY 1;

-- name: three_branch_union
-- engines: sqlite duckdb postgres clickhouse spark
SELECT 'customers' AS tbl, COUNT(*) AS n FROM bi.customers
UNION ALL
SELECT 'invoices', COUNT(*) FROM bi.invoices
UNION ALL
SELECT 'lines', COUNT(*) FROM bi.invoice_lines;

-- name: union_inside_derived_table
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT kind, COUNT(*) AS n FROM (
  SELECT 'issued' AS kind, id FROM bi.invoices
  UNION ALL
  SELECT 'paid', id FROM bi.invoices WHERE paid_on IS NOT NULL
) AS events
GROUP BY kind
ORDER BY kind;

-- name: union_in_cte
-- engines: sqlite duckdb postgres spark
-- ordered
WITH people AS (
  SELECT name, country_code FROM bi.customers
  UNION
  SELECT full_name, NULL FROM sales_reps
)
SELECT name FROM people WHERE country_code IS NULL ORDER BY name;

-- name: cte_then_top_level_union
-- engines: sqlite duckdb postgres spark
-- ordered
WITH late AS (SELECT id, customer_id FROM bi.invoices WHERE paid_on > due_on),
     unpaid AS (SELECT id, customer_id FROM bi.invoices WHERE status = 'overdue')
SELECT customer_id, 'late' AS reason FROM late
UNION
SELECT customer_id, 'overdue' FROM unpaid
ORDER BY customer_id, reason;

-- name: except_all_quantities
-- engines: duckdb postgres clickhouse spark
-- ordered
SELECT quantity FROM bi.invoice_lines
EXCEPT ALL
SELECT quantity FROM bi.invoice_lines WHERE discount IS NOT NULL
ORDER BY quantity;

-- name: intersect_all_currencies
-- engines: duckdb postgres clickhouse spark
-- ordered
SELECT currency FROM bi.invoices WHERE status = 'paid'
INTERSECT ALL
SELECT currency FROM bi.invoices WHERE customer_id < 5
ORDER BY currency;

-- name: parenthesized_set_operations
-- engines: duckdb postgres spark
-- ordered
(SELECT id FROM bi.customers WHERE country_code = 'DE'
 UNION
 SELECT id FROM bi.customers WHERE segment = 'SMB')
EXCEPT
SELECT customer_id FROM bi.invoices WHERE status = 'void'
ORDER BY id;

-- name: union_with_offset
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT sku AS code FROM bi.products
UNION
SELECT code FROM countries
ORDER BY code
LIMIT 5 OFFSET 3;

-- name: union_mixed_case
-- engines: sqlite duckdb postgres spark
SELECT Name FROM BI.Products WHERE Discontinued
UNION ALL
SELECT Name FROM Countries WHERE In_EU;

-- name: union_by_name
-- engines: duckdb
SELECT id, name FROM bi.customers
UNION ALL BY NAME
SELECT name, id FROM bi.products;

-- name: nested_set_operations_in_parentheses
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT id FROM bi.customers WHERE segment = 'Enterprise'
UNION
SELECT id FROM (SELECT id FROM bi.customers WHERE active
                EXCEPT
                SELECT customer_id FROM bi.invoices) AS idle
ORDER BY id;

-- name: union_offset_without_limit
-- engines: duckdb postgres spark
-- ordered
SELECT id FROM bi.invoices WHERE status = 'paid'
UNION
SELECT id FROM bi.invoices WHERE currency <> 'EUR'
ORDER BY id DESC
OFFSET 4;

-- name: union_offset_unlimited_sqlite
-- engines: sqlite
-- ordered
SELECT id FROM bi.invoices WHERE status = 'paid'
UNION
SELECT id FROM bi.invoices WHERE currency <> 'EUR'
ORDER BY id DESC
LIMIT -1 OFFSET 4;

-- name: union_fetch_first_postgres
-- engines: postgres
-- ordered
SELECT id, 'invoice' AS kind FROM bi.invoices
UNION ALL
SELECT id, 'customer' FROM bi.customers
ORDER BY id DESC, kind
FETCH FIRST 6 ROWS ONLY;

-- name: union_all_with_aggregate_branches_and_order
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT 'by status' AS dim, status AS val, COUNT(*) AS n FROM bi.invoices GROUP BY status
UNION ALL
SELECT 'by currency', currency, COUNT(*) FROM bi.invoices GROUP BY currency
ORDER BY dim, val;

-- name: except_with_cte_on_both_sides
-- engines: sqlite duckdb postgres spark
-- ordered
WITH sold AS (SELECT DISTINCT product_id FROM bi.invoice_lines)
SELECT id FROM bi.products
EXCEPT
SELECT product_id FROM sold
ORDER BY id;
