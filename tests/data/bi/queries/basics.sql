-- Plain reads of one table: projections, filters, CASE, NULLs, patterns,
-- sorting and paging, as people type them into a SQL box.

-- name: customers_all_columns
-- engines: sqlite duckdb postgres clickhouse spark
SELECT * FROM bi.customers;

-- name: customers_by_name
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, name, country_code FROM bi.customers ORDER BY name, id;

-- name: active_customers_in_germany
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT name, email FROM bi.customers WHERE country_code = 'DE' AND active ORDER BY name;

-- name: customers_without_email
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, name FROM bi.customers WHERE email IS NULL ORDER BY id;

-- name: customers_email_or_placeholder
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, COALESCE(email, '(no email)') AS contact, COALESCE(segment, 'Unassigned') AS segment
FROM bi.customers
ORDER BY id;

-- name: customer_table_qualified_columns
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customers.id, customers.name, customers.signup_date
FROM bi.customers
WHERE customers.active = TRUE
ORDER BY customers.signup_date DESC, customers.id;

-- name: customer_fully_qualified_columns
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT bi.customers.id, bi.customers.name FROM bi.customers ORDER BY bi.customers.id;

-- name: customers_mixed_case_identifiers
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT Id, Name, Country_Code AS Country FROM BI.Customers WHERE Active ORDER BY Id;

-- name: customers_upper_case_everything
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT C.ID, C.NAME, C.SEGMENT FROM BI.CUSTOMERS AS C WHERE C.SEGMENT IS NOT NULL ORDER BY C.ID;

-- name: customers_quoted_lower_identifiers
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT "c"."id", "c"."name" FROM "bi"."customers" AS "c" ORDER BY "c"."id";

-- name: customers_alias_without_as
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.id customer_id, c.name customer_name FROM bi.customers c ORDER BY customer_id;

-- name: segment_labels_with_case
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id,
       CASE segment
         WHEN 'Enterprise' THEN 'Key account'
         WHEN 'Mid-Market' THEN 'Growth'
         WHEN 'SMB' THEN 'Small business'
         ELSE 'Other'
       END AS tier
FROM bi.customers
ORDER BY id;

-- name: credit_bands_searched_case
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT name,
       CASE WHEN credit_limit IS NULL THEN 'none'
            WHEN credit_limit >= 50000 THEN 'high'
            WHEN credit_limit >= 10000 THEN 'medium'
            ELSE 'low' END AS band
FROM bi.customers
ORDER BY credit_limit DESC NULLS LAST, name;

-- name: names_like_pattern
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT name FROM bi.customers WHERE name LIKE '%Nord%' OR name LIKE '%nord%' ORDER BY name;

-- name: names_not_like
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id FROM bi.customers WHERE name NOT LIKE '%GmbH%' AND email NOT LIKE '%.de' ORDER BY id;

-- name: email_domains_like_underscore
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, email FROM bi.customers WHERE email LIKE '%@__.%' OR email LIKE '%.c_' ORDER BY id;

-- name: customers_in_list
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, name FROM bi.customers WHERE country_code IN ('DE', 'AT', 'CH') ORDER BY id;

-- name: customers_not_in_list_with_nulls
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, country_code FROM bi.customers WHERE country_code NOT IN ('DE', 'US') ORDER BY id;

-- name: signups_between_dates
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, signup_date FROM bi.customers
WHERE signup_date BETWEEN '2021-06-01' AND '2023-06-30'
ORDER BY signup_date, id;

-- name: invoices_open_or_overdue
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, customer_id, issued_on, status FROM bi.invoices
WHERE status IN ('open', 'overdue') ORDER BY issued_on DESC, id;

-- name: invoices_status_any_case
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, status FROM bi.invoices WHERE LOWER(status) = 'paid' ORDER BY id;

-- name: invoices_paid_late
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, due_on, paid_on FROM bi.invoices WHERE paid_on > due_on ORDER BY id;

-- name: invoices_with_notes
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, note FROM bi.invoices WHERE note IS NOT NULL AND note <> '' ORDER BY id;

-- name: invoices_nullif_empty_note
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, NULLIF(note, '') AS note, COALESCE(NULLIF(note, ''), 'n/a') AS shown
FROM bi.invoices ORDER BY id;

-- name: invoices_page_two
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, issued_on FROM bi.invoices ORDER BY issued_on, id LIMIT 5 OFFSET 5;

-- name: latest_three_invoices
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, issued_on FROM bi.invoices ORDER BY issued_on DESC, id DESC LIMIT 3;

-- name: distinct_currencies
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT DISTINCT currency FROM bi.invoices ORDER BY currency;

-- name: distinct_status_currency_pairs
-- engines: sqlite duckdb postgres clickhouse spark
SELECT DISTINCT status, currency FROM bi.invoices;

-- name: products_price_arithmetic
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT sku, list_price, list_price * 1.19 AS gross, ROUND(list_price * 0.9, 2) AS promo
FROM bi.products ORDER BY sku;

-- name: products_order_by_ordinal
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT category, name, list_price FROM bi.products ORDER BY 1, 3 DESC, 2;

-- name: products_category_nulls_first
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, category FROM bi.products ORDER BY category NULLS FIRST, id;

-- name: products_not_discontinued
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, name FROM bi.products WHERE NOT discontinued ORDER BY id;

-- name: products_is_distinct_from
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, category FROM bi.products WHERE category IS DISTINCT FROM 'Paper' ORDER BY id;

-- name: lines_with_discount_math
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT invoice_id, line_no, quantity * unit_price AS gross,
       quantity * unit_price * (1 - COALESCE(discount, 0)) AS net
FROM bi.invoice_lines
ORDER BY invoice_id, line_no;

-- name: lines_where_arithmetic
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT invoice_id, line_no FROM bi.invoice_lines
WHERE quantity * unit_price > 500 ORDER BY invoice_id, line_no;

-- name: reps_top_level_managers
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, full_name FROM sales_reps WHERE manager_id IS NULL ORDER BY id;

-- name: reps_quota_coalesce
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT full_name, COALESCE(quota, 0) AS quota FROM sales_reps ORDER BY quota DESC NULLS LAST, full_name;

-- name: countries_lookup
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT code, name FROM countries WHERE in_eu ORDER BY code;

-- name: countries_by_region_unfiltered_table
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT region, name FROM countries WHERE region <> 'Europe' ORDER BY region, name;

-- name: constant_select_no_table
-- engines: sqlite duckdb postgres clickhouse spark
SELECT 1 AS one, 'x' AS letter, NULL AS no_value;

-- name: where_true_constant
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id FROM bi.products WHERE 1 = 1 AND list_price > 0 ORDER BY id;
