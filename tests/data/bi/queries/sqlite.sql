-- SQLite's own dialect: dates as ISO text read through strftime, date and
-- julianday; its string functions, GLOB, LIMIT's comma form.

-- name: sqlite_revenue_by_month
-- engines: sqlite
-- ordered
SELECT strftime('%Y-%m', i.issued_on) AS month, SUM(l.quantity * l.unit_price) AS gross
FROM bi.invoices i JOIN bi.invoice_lines l ON l.invoice_id = i.id
GROUP BY strftime('%Y-%m', i.issued_on)
ORDER BY month;

-- name: sqlite_invoices_per_year_quarter
-- engines: sqlite
-- ordered
SELECT CAST(strftime('%Y', issued_on) AS INTEGER) AS yr,
       (CAST(strftime('%m', issued_on) AS INTEGER) + 2) / 3 AS quarter,
       COUNT(*) AS n
FROM bi.invoices
GROUP BY yr, quarter
ORDER BY yr, quarter;

-- name: sqlite_days_to_pay
-- engines: sqlite
-- ordered
SELECT id, CAST(julianday(paid_on) - julianday(issued_on) AS INTEGER) AS days_to_pay
FROM bi.invoices WHERE paid_on IS NOT NULL ORDER BY id;

-- name: sqlite_average_days_late_by_customer
-- engines: sqlite
-- ordered
SELECT customer_id, ROUND(AVG(julianday(paid_on) - julianday(due_on)), 1) AS avg_days_late
FROM bi.invoices WHERE paid_on IS NOT NULL
GROUP BY customer_id ORDER BY customer_id;

-- name: sqlite_date_modifiers
-- engines: sqlite
-- ordered
SELECT id, date(issued_on, '+30 days') AS plus_30,
       date(issued_on, 'start of month') AS month_start,
       date(issued_on, 'start of month', '+1 month', '-1 day') AS month_end
FROM bi.invoices ORDER BY id;

-- name: sqlite_weekday_names
-- engines: sqlite
-- ordered
SELECT CASE strftime('%w', issued_on) WHEN '0' THEN 'Sun' WHEN '6' THEN 'Sat' ELSE 'Weekday' END AS day_kind,
       COUNT(*) AS n
FROM bi.invoices GROUP BY day_kind ORDER BY day_kind;

-- name: sqlite_email_domain
-- engines: sqlite
-- ordered
SELECT id, lower(substr(email, instr(email, '@') + 1)) AS domain
FROM bi.customers WHERE email IS NOT NULL ORDER BY id;

-- name: sqlite_initials_and_lengths
-- engines: sqlite
-- ordered
SELECT id, upper(substr(name, 1, 1)) || lower(substr(name, 2)) AS tidy, length(name) AS len,
       trim(replace(name, 'GmbH', '')) AS without_form
FROM bi.customers ORDER BY id;

-- name: sqlite_sku_prefix
-- engines: sqlite
-- ordered
SELECT substr(sku, 1, instr(sku, '-') - 1) AS family, COUNT(*) AS n
FROM bi.products GROUP BY family ORDER BY family;

-- name: sqlite_printf_money
-- engines: sqlite
-- ordered
SELECT sku, printf('%.2f', list_price) AS price, printf('%-12s|', sku) AS padded
FROM bi.products ORDER BY sku;

-- name: sqlite_glob_pattern
-- engines: sqlite
-- ordered
SELECT sku FROM bi.products WHERE sku GLOB '[A-P]*-[0-9]*' ORDER BY sku;

-- name: sqlite_like_escape
-- engines: sqlite
-- ordered
SELECT id FROM bi.invoices WHERE note LIKE '%PO%' ESCAPE '\' ORDER BY id;

-- name: sqlite_iif_ifnull
-- engines: sqlite
-- ordered
SELECT id, iif(paid_on IS NULL, 'unpaid', 'paid') AS state, ifnull(note, '-') AS note
FROM bi.invoices ORDER BY id;

-- name: sqlite_scalar_max_min
-- engines: sqlite
-- ordered
SELECT invoice_id, line_no, max(quantity, 10) AS at_least_ten, min(unit_price, 50) AS capped
FROM bi.invoice_lines ORDER BY invoice_id, line_no;

-- name: sqlite_total_aggregate
-- engines: sqlite
-- ordered
SELECT product_id, total(discount) AS discount_points FROM bi.invoice_lines
GROUP BY product_id ORDER BY product_id;

-- name: sqlite_limit_comma_form
-- engines: sqlite
-- ordered
SELECT id FROM bi.invoices ORDER BY id LIMIT 3, 4;

-- name: sqlite_json_object_per_customer
-- engines: sqlite
-- ordered
SELECT json_object('id', id, 'name', name, 'country', country_code) AS doc
FROM bi.customers ORDER BY id;

-- name: sqlite_signup_age_in_days_vs_fixed_day
-- engines: sqlite
-- ordered
SELECT id, CAST(julianday('2025-01-01') - julianday(signup_date) AS INTEGER) AS days_as_customer
FROM bi.customers ORDER BY id;

-- name: sqlite_cast_and_typeof
-- engines: sqlite
-- ordered
SELECT id, CAST(credit_limit AS INTEGER) AS credit, CAST(id AS TEXT) || '-' || country_code AS tag
FROM bi.customers ORDER BY id;

-- name: sqlite_current_date_relative
-- engines: sqlite
-- ordered
SELECT id FROM bi.invoices WHERE paid_on IS NULL AND due_on < date('now') AND status <> 'void' ORDER BY id;

-- name: sqlite_group_concat_distinct_count
-- engines: sqlite
-- ordered
SELECT customer_id, length(group_concat(DISTINCT currency)) > 0 AS has_currency, COUNT(DISTINCT currency) AS n
FROM bi.invoices GROUP BY customer_id ORDER BY customer_id;

-- name: sqlite_rtrim_ltrim_chars
-- engines: sqlite
-- ordered
SELECT sku, ltrim(sku, 'ABCDEFGHIJKLMNOPQRSTUVWXYZ-') AS tail, rtrim(name, ')') AS name_trimmed
FROM bi.products ORDER BY sku;
