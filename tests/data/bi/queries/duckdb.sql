-- DuckDB's dialect: its date functions and intervals, string and list
-- functions, DISTINCT ON, GROUP BY ALL, FROM first, star modifiers,
-- generate_series and range, PIVOT.

-- name: duckdb_revenue_by_month_trunc
-- engines: duckdb
-- ordered
SELECT date_trunc('month', i.issued_on) AS month, SUM(l.quantity * l.unit_price) AS gross
FROM bi.invoices i JOIN bi.invoice_lines l ON l.invoice_id = i.id
GROUP BY ALL
ORDER BY month;

-- name: duckdb_strftime_month_label
-- engines: duckdb
-- ordered
SELECT strftime(issued_on, '%Y-%m') AS month, COUNT(*) AS invoices
FROM bi.invoices GROUP BY 1 ORDER BY 1;

-- name: duckdb_datediff_days_to_pay
-- engines: duckdb
-- ordered
SELECT id, datediff('day', issued_on, paid_on) AS days_to_pay, date_diff('day', due_on, paid_on) AS days_late
FROM bi.invoices WHERE paid_on IS NOT NULL ORDER BY id;

-- name: duckdb_interval_arithmetic
-- engines: duckdb
-- ordered
SELECT id, issued_on + INTERVAL 30 DAY AS plus_30, issued_on + INTERVAL '1 month' AS plus_month,
       due_on - issued_on AS terms_days
FROM bi.invoices ORDER BY id;

-- name: duckdb_extract_parts
-- engines: duckdb
-- ordered
SELECT year(issued_on) AS y, quarter(issued_on) AS q, COUNT(*) AS n,
       MIN(dayname(issued_on)) AS some_day
FROM bi.invoices GROUP BY ALL ORDER BY ALL;

-- name: duckdb_last_day_and_make_date
-- engines: duckdb
-- ordered
SELECT id, last_day(issued_on) AS month_end,
       make_date(year(issued_on), 1, 1) AS year_start,
       EXTRACT(doy FROM issued_on) AS day_of_year
FROM bi.invoices ORDER BY id;

-- name: duckdb_date_literal_filter
-- engines: duckdb
-- ordered
SELECT id, issued_on FROM bi.invoices
WHERE issued_on >= DATE '2024-01-01' AND issued_on < DATE '2024-07-01'
ORDER BY id;

-- name: duckdb_generate_series_month_spine
-- engines: duckdb
-- ordered
SELECT CAST(m.month AS DATE) AS month, COUNT(i.id) AS invoices
FROM generate_series(DATE '2024-01-01', DATE '2024-12-01', INTERVAL 1 MONTH) AS m(month)
LEFT JOIN bi.invoices i ON date_trunc('month', i.issued_on) = m.month
GROUP BY m.month
ORDER BY m.month;

-- name: duckdb_range_numbers
-- engines: duckdb
-- ordered
SELECT r.n AS quantity_bucket, COUNT(l.line_no) AS lines
FROM range(0, 60, 10) AS r(n)
LEFT JOIN bi.invoice_lines l ON l.quantity >= r.n AND l.quantity < r.n + 10
GROUP BY r.n ORDER BY r.n;

-- name: duckdb_split_part_and_regex
-- engines: duckdb
-- ordered
SELECT id, split_part(email, '@', 2) AS domain,
       regexp_extract(email, '^([^@]+)@', 1) AS mailbox,
       regexp_matches(email, '[A-Z]') AS has_capitals
FROM bi.customers WHERE email IS NOT NULL ORDER BY id;

-- name: duckdb_ilike_and_contains
-- engines: duckdb
-- ordered
SELECT id, name FROM bi.customers
WHERE name ILIKE '%nord%' OR contains(lower(name), 'sport') OR starts_with(name, 'Acme')
ORDER BY id;

-- name: duckdb_string_functions
-- engines: duckdb
-- ordered
SELECT sku, left(sku, 3) AS prefix, right(sku, 2) AS suffix, lpad(CAST(id AS VARCHAR), 4, '0') AS code,
       concat_ws(' / ', category, name) AS label, length(name) AS len, reverse(sku) AS backwards
FROM bi.products ORDER BY sku;

-- name: duckdb_distinct_on
-- engines: duckdb
-- ordered
SELECT DISTINCT ON (customer_id) customer_id, id, issued_on
FROM bi.invoices ORDER BY customer_id, issued_on DESC, id DESC;

-- name: duckdb_from_first
-- engines: duckdb
-- ordered
FROM bi.products SELECT sku, list_price WHERE list_price > 100 ORDER BY sku;

-- name: duckdb_select_star_exclude
-- engines: duckdb
-- ordered
SELECT * EXCLUDE (email, credit_limit) FROM bi.customers ORDER BY id;

-- name: duckdb_select_star_replace
-- engines: duckdb
-- ordered
SELECT * REPLACE (upper(name) AS name) FROM bi.products ORDER BY id;

-- name: duckdb_group_by_all_order_by_all
-- engines: duckdb
-- ordered
SELECT currency, status, COUNT(*) AS n FROM bi.invoices GROUP BY ALL ORDER BY ALL;

-- name: duckdb_median_and_quantile
-- engines: duckdb
-- ordered
SELECT category, median(list_price) AS median_price, quantile_cont(list_price, 0.9) AS p90
FROM bi.products GROUP BY category ORDER BY category NULLS LAST;

-- name: duckdb_arg_max_and_count_if
-- engines: duckdb
-- ordered
SELECT customer_id, arg_max(id, issued_on) AS latest_invoice, count_if(paid_on IS NULL) AS unpaid,
       bool_or(status = 'overdue') AS any_overdue
FROM bi.invoices GROUP BY customer_id ORDER BY customer_id;

-- name: duckdb_try_cast_and_double_colon
-- engines: duckdb
-- ordered
SELECT id, TRY_CAST(note AS INTEGER) AS note_number, id::VARCHAR || '-' || currency AS tag,
       issued_on::VARCHAR AS issued_text
FROM bi.invoices ORDER BY id;

-- name: duckdb_unnest_list
-- engines: duckdb
-- ordered
SELECT c.id, unnest(['email', 'phone']) AS channel
FROM bi.customers c WHERE c.segment = 'Enterprise'
ORDER BY c.id, channel;

-- name: duckdb_list_aggregate
-- engines: duckdb
-- ordered
SELECT customer_id, list(id ORDER BY id) AS invoice_ids
FROM bi.invoices GROUP BY customer_id ORDER BY customer_id;

-- name: duckdb_pivot_status
-- engines: duckdb
-- ordered
SELECT * FROM (SELECT customer_id, status FROM bi.invoices)
PIVOT (count(*) FOR status IN ('paid', 'open', 'overdue', 'void'))
ORDER BY customer_id;

-- name: duckdb_greatest_least
-- engines: duckdb
-- ordered
SELECT id, greatest(issued_on, COALESCE(paid_on, issued_on)) AS last_event,
       least(due_on, COALESCE(paid_on, due_on)) AS first_deadline
FROM bi.invoices ORDER BY id;

-- name: duckdb_columns_expression
-- engines: duckdb
-- ordered
SELECT id, COLUMNS('.*_on') FROM bi.invoices ORDER BY id;

-- name: duckdb_age_in_months
-- engines: duckdb
-- ordered
SELECT id, date_diff('month', signup_date, DATE '2025-01-01') AS months_as_customer
FROM bi.customers ORDER BY id;

-- name: duckdb_epoch_and_strptime
-- engines: duckdb
-- ordered
SELECT id, epoch(CAST(issued_on AS TIMESTAMP)) AS issued_epoch,
       strptime('2024-03-01', '%Y-%m-%d') > CAST(issued_on AS TIMESTAMP) AS before_march
FROM bi.invoices ORDER BY id;

-- name: duckdb_list_filter_lambda
-- engines: duckdb
-- ordered
SELECT customer_id, list_filter(list(quantity ORDER BY quantity), lambda x: x >= 10) AS big_lines
FROM bi.invoice_lines l JOIN bi.invoices i ON i.id = l.invoice_id
GROUP BY customer_id ORDER BY customer_id;

-- name: duckdb_current_date_overdue
-- engines: duckdb
-- ordered
SELECT id, current_date - due_on > 0 AS past_due FROM bi.invoices WHERE paid_on IS NULL ORDER BY id;
