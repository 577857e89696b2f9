-- Smaller features of each engine that reports lean on: collations, semi
-- and anti joins, ASOF joins, arrays, set-returning functions in the select
-- list, null-safe comparison spelled each engine's way.

-- name: collate_nocase_order
-- engines: sqlite duckdb
-- ordered
SELECT name FROM bi.customers ORDER BY name COLLATE NOCASE, id;

-- name: collate_nocase_compare
-- engines: sqlite duckdb
-- ordered
SELECT id FROM bi.customers WHERE segment = 'smb' COLLATE NOCASE ORDER BY id;

-- name: collate_c_order_postgres
-- engines: postgres
-- ordered
SELECT name FROM bi.customers ORDER BY name COLLATE "C", id;

-- name: sqlite_is_operator_null_safe
-- engines: sqlite
-- ordered
SELECT id FROM bi.customers WHERE segment IS NOT 'SMB' ORDER BY id;

-- name: sqlite_json_each_join
-- engines: sqlite
-- ordered
SELECT c.id, j.value AS channel
FROM bi.customers c, json_each('["email", "phone"]') AS j
WHERE c.segment = 'Enterprise'
ORDER BY c.id, j.value;

-- name: duckdb_semi_join
-- engines: duckdb
-- ordered
SELECT c.id, c.name FROM bi.customers c
SEMI JOIN bi.invoices i ON i.customer_id = c.id AND i.status = 'overdue'
ORDER BY c.id;

-- name: duckdb_anti_join
-- engines: duckdb
-- ordered
SELECT p.sku FROM bi.products p
ANTI JOIN bi.invoice_lines l ON l.product_id = p.id
ORDER BY p.sku;

-- name: duckdb_asof_join_rep_on_duty
-- engines: duckdb
-- ordered
SELECT i.id, r.full_name AS latest_hire
FROM bi.invoices i ASOF JOIN sales_reps r ON i.issued_on >= r.hired_on
ORDER BY i.id;

-- name: duckdb_struct_and_list_literals
-- engines: duckdb
-- ordered
SELECT id, {'sku': sku, 'price': list_price} AS item, [category, name] AS labels
FROM bi.products ORDER BY id;

-- name: duckdb_list_functions
-- engines: duckdb
-- ordered
SELECT invoice_id, list_sum(list(quantity)) AS units, list_sort(list(product_id)) AS products
FROM bi.invoice_lines GROUP BY invoice_id ORDER BY invoice_id;

-- name: duckdb_date_add_and_range_frame
-- engines: duckdb
-- ordered
SELECT id, date_add(issued_on, INTERVAL 7 DAY) AS reminder,
       COUNT(*) OVER (ORDER BY issued_on RANGE BETWEEN INTERVAL 60 DAYS PRECEDING AND INTERVAL 60 DAYS FOLLOWING) AS nearby
FROM bi.invoices ORDER BY id;

-- name: pg_any_array
-- engines: postgres
-- ordered
SELECT id, name FROM bi.customers WHERE id = ANY (ARRAY[1, 3, 5, 7]) ORDER BY id;

-- name: pg_in_values_list
-- engines: postgres duckdb
-- ordered
SELECT id FROM bi.invoices WHERE (status, currency) IN (VALUES ('paid', 'EUR'), ('overdue', 'USD')) ORDER BY id;

-- name: pg_set_returning_function_in_select
-- engines: postgres
-- ordered
SELECT id, generate_series(1, 2) AS copy_no FROM bi.products WHERE discontinued ORDER BY id, copy_no;

-- name: pg_string_to_array_unnest
-- engines: postgres
-- ordered
SELECT c.id, part
FROM bi.customers c, unnest(string_to_array(c.name, ' ')) AS part
WHERE c.segment = 'Enterprise'
ORDER BY c.id, part;

-- name: pg_left_join_on_true
-- engines: postgres duckdb
-- ordered
SELECT c.id, n.total
FROM bi.customers c
LEFT JOIN (SELECT COUNT(*) AS total FROM bi.invoices) n ON TRUE
ORDER BY c.id;

-- name: pg_array_agg_distinct_and_cardinality
-- engines: postgres
-- ordered
SELECT customer_id, cardinality(array_agg(DISTINCT currency)) AS currencies
FROM bi.invoices GROUP BY customer_id ORDER BY customer_id;

-- name: pg_string_agg_distinct
-- engines: postgres duckdb
-- ordered
SELECT customer_id, string_agg(DISTINCT currency, ',' ORDER BY currency) AS currencies
FROM bi.invoices GROUP BY customer_id ORDER BY customer_id;

-- name: window_order_nulls_last
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, paid_on, RANK() OVER (ORDER BY paid_on DESC NULLS LAST) AS payment_rank
FROM bi.invoices ORDER BY id;

-- name: in_values_subquery
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT id FROM bi.customers WHERE country_code IN (VALUES ('DE'), ('CH'), ('US')) ORDER BY id;

-- name: exists_on_lookup_only
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.id FROM bi.customers c
WHERE NOT EXISTS (SELECT 1 FROM countries co WHERE co.code = c.country_code)
ORDER BY c.id;
