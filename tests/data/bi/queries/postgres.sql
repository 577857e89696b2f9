-- PostgreSQL's dialect: date_trunc, to_char, EXTRACT, intervals and age,
-- generate_series, ordered-set aggregates, string_agg and arrays, regular
-- expressions, DISTINCT ON, :: casts, FETCH FIRST.

-- name: pg_revenue_by_month_trunc
-- engines: postgres
-- ordered
SELECT date_trunc('month', i.issued_on)::date AS month, SUM(l.quantity * l.unit_price) AS gross
FROM bi.invoices i JOIN bi.invoice_lines l ON l.invoice_id = i.id
GROUP BY 1
ORDER BY 1;

-- name: pg_to_char_month_label
-- engines: postgres
-- ordered
SELECT to_char(issued_on, 'YYYY-MM') AS month, to_char(issued_on, 'Mon') AS mon, COUNT(*)
FROM bi.invoices GROUP BY 1, 2 ORDER BY 1;

-- name: pg_extract_year_quarter
-- engines: postgres
-- ordered
SELECT EXTRACT(YEAR FROM issued_on) AS y, EXTRACT(QUARTER FROM issued_on) AS q, COUNT(*) AS n
FROM bi.invoices GROUP BY 1, 2 ORDER BY 1, 2;

-- name: pg_date_subtraction_days
-- engines: postgres
-- ordered
SELECT id, paid_on - issued_on AS days_to_pay, paid_on - due_on AS days_late
FROM bi.invoices WHERE paid_on IS NOT NULL ORDER BY id;

-- name: pg_interval_arithmetic
-- engines: postgres
-- ordered
SELECT id, issued_on + INTERVAL '30 days' AS plus_30, (issued_on + INTERVAL '1 month')::date AS plus_month,
       issued_on + 14 AS plus_14
FROM bi.invoices ORDER BY id;

-- name: pg_age_function
-- engines: postgres
-- ordered
SELECT id, age(DATE '2025-01-01', signup_date) AS customer_for,
       EXTRACT(YEAR FROM age(DATE '2025-01-01', signup_date)) AS years
FROM bi.customers ORDER BY id;

-- name: pg_date_part_and_make_date
-- engines: postgres
-- ordered
SELECT id, date_part('dow', issued_on) AS dow, make_date(EXTRACT(YEAR FROM issued_on)::int, 12, 31) AS year_end
FROM bi.invoices ORDER BY id;

-- name: pg_generate_series_month_spine
-- engines: postgres
-- ordered
SELECT m::date AS month, COUNT(i.id) AS invoices
FROM generate_series(DATE '2024-01-01', DATE '2024-12-01', INTERVAL '1 month') AS m
LEFT JOIN bi.invoices i ON date_trunc('month', i.issued_on) = m
GROUP BY m
ORDER BY m;

-- name: pg_generate_series_numbers
-- engines: postgres
-- ordered
SELECT g.n AS bucket, COUNT(l.line_no) AS lines
FROM generate_series(0, 50, 10) AS g(n)
LEFT JOIN bi.invoice_lines l ON l.quantity >= g.n AND l.quantity < g.n + 10
GROUP BY g.n ORDER BY g.n;

-- name: pg_array_agg_ordered
-- engines: postgres
-- ordered
SELECT customer_id, array_agg(id ORDER BY id) AS invoice_ids
FROM bi.invoices GROUP BY customer_id ORDER BY customer_id;

-- name: pg_percentile_cont
-- engines: postgres
-- ordered
SELECT category, percentile_cont(0.5) WITHIN GROUP (ORDER BY list_price) AS median_price,
       percentile_disc(0.9) WITHIN GROUP (ORDER BY list_price) AS p90
FROM bi.products GROUP BY category ORDER BY category NULLS LAST;

-- name: pg_mode_within_group
-- engines: postgres
SELECT mode() WITHIN GROUP (ORDER BY currency) AS usual_currency FROM bi.invoices;

-- name: pg_split_part_initcap
-- engines: postgres
-- ordered
SELECT id, split_part(email, '@', 2) AS domain, initcap(name) AS tidy_name,
       position('@' IN email) AS at_pos
FROM bi.customers WHERE email IS NOT NULL ORDER BY id;

-- name: pg_regexp_functions
-- engines: postgres
-- ordered
SELECT id, regexp_replace(sku, '[0-9]+', '#', 'g') AS pattern, substring(sku from '^[A-Z]+') AS family
FROM bi.products ORDER BY id;

-- name: pg_regex_match_operators
-- engines: postgres
-- ordered
SELECT id, name FROM bi.customers WHERE name ~* 'nord|sport' OR email ~ '^[A-Z]' ORDER BY id;

-- name: pg_ilike
-- engines: postgres
-- ordered
SELECT id, name FROM bi.customers WHERE name ILIKE '%gmbh%' OR name ILIKE 'b%' ORDER BY id;

-- name: pg_similar_to
-- engines: postgres
-- ordered
SELECT sku FROM bi.products WHERE sku SIMILAR TO '(PAP|TNT)-%' ORDER BY sku;

-- name: pg_string_functions
-- engines: postgres
-- ordered
SELECT sku, left(sku, 3) AS prefix, right(sku, 2) AS suffix, lpad(id::text, 4, '0') AS code,
       concat_ws(' / ', category, name) AS label, length(name) AS len, upper(name) AS shout
FROM bi.products ORDER BY sku;

-- name: pg_distinct_on
-- engines: postgres
-- ordered
SELECT DISTINCT ON (customer_id) customer_id, id, issued_on
FROM bi.invoices ORDER BY customer_id, issued_on DESC, id DESC;

-- name: pg_double_colon_casts
-- engines: postgres
-- ordered
SELECT id::text || '-' || currency AS tag, issued_on::text AS issued, credit_limit::int AS credit
FROM bi.invoices i JOIN (SELECT id AS cid, credit_limit FROM bi.customers) c ON c.cid = i.customer_id
ORDER BY i.id;

-- name: pg_fetch_first
-- engines: postgres
-- ordered
SELECT id, issued_on FROM bi.invoices ORDER BY issued_on DESC, id FETCH FIRST 5 ROWS ONLY;

-- name: pg_fetch_with_ties
-- engines: postgres
SELECT product_id, quantity FROM bi.invoice_lines ORDER BY quantity DESC FETCH FIRST 3 ROWS WITH TIES;

-- name: pg_offset_rows_fetch_next
-- engines: postgres
-- ordered
SELECT id FROM bi.invoices ORDER BY id OFFSET 2 ROWS FETCH NEXT 3 ROWS ONLY;

-- name: pg_bool_and_every
-- engines: postgres
-- ordered
SELECT customer_id, bool_and(paid_on IS NOT NULL) AS all_paid, bool_or(status = 'overdue') AS any_overdue,
       every(currency = 'EUR') AS all_eur
FROM bi.invoices GROUP BY customer_id ORDER BY customer_id;

-- name: pg_unnest_array
-- engines: postgres
-- ordered
SELECT c.id, ch AS channel
FROM bi.customers c, unnest(ARRAY['email', 'phone']) AS ch
WHERE c.segment = 'Enterprise'
ORDER BY c.id, ch;

-- name: pg_json_build_object
-- engines: postgres
-- ordered
SELECT jsonb_build_object('id', id, 'name', name, 'country', country_code)::text AS doc
FROM bi.customers ORDER BY id;

-- name: pg_greatest_least
-- engines: postgres
-- ordered
SELECT id, GREATEST(issued_on, COALESCE(paid_on, issued_on)) AS last_event,
       LEAST(due_on, COALESCE(paid_on, due_on)) AS first_deadline
FROM bi.invoices ORDER BY id;

-- name: pg_to_char_money
-- engines: postgres
-- ordered
SELECT sku, to_char(list_price, 'FM999990.00') AS price FROM bi.products ORDER BY sku;

-- name: pg_round_numeric_cast
-- engines: postgres
-- ordered
SELECT customer_id, round(AVG(EXTRACT(EPOCH FROM (paid_on::timestamp - issued_on::timestamp)) / 86400)::numeric, 1) AS avg_days
FROM bi.invoices WHERE paid_on IS NOT NULL GROUP BY customer_id ORDER BY customer_id;

-- name: pg_current_date_overdue
-- engines: postgres
-- ordered
SELECT id, CURRENT_DATE - due_on > 0 AS past_due FROM bi.invoices WHERE paid_on IS NULL ORDER BY id;

-- name: pg_date_trunc_quarter_window
-- engines: postgres
-- ordered
SELECT q, n, SUM(n) OVER (ORDER BY q ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW) AS running
FROM (SELECT date_trunc('quarter', issued_on)::date AS q, COUNT(*) AS n FROM bi.invoices GROUP BY 1) t
ORDER BY q;

-- name: pg_filter_and_coalesce_sum
-- engines: postgres
-- ordered
SELECT c.segment, COALESCE(SUM(l.quantity * l.unit_price) FILTER (WHERE i.currency = 'EUR'), 0) AS eur_gross
FROM bi.customers c
LEFT JOIN bi.invoices i ON i.customer_id = c.id
LEFT JOIN bi.invoice_lines l ON l.invoice_id = i.id
GROUP BY c.segment ORDER BY c.segment NULLS LAST;

-- name: pg_format_function
-- engines: postgres
-- ordered
SELECT format('%s (%s)', name, COALESCE(country_code, '??')) AS label FROM bi.customers ORDER BY id;
