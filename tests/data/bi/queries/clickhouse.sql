-- ClickHouse's dialect, as dashboards on ClickHouse write it: toStartOfMonth
-- and the other date functions, conditional aggregates (countIf, sumIf),
-- uniqExact and argMax, LIMIT BY, WITH ROLLUP / CUBE / TOTALS, multiIf,
-- scalar WITH, PREWHERE, SEMI and ANTI joins, window frames.

-- name: ch_revenue_by_month_tostartofmonth
-- engines: clickhouse
-- ordered
SELECT toStartOfMonth(i.issued_on) AS month, sum(l.quantity * l.unit_price) AS gross
FROM bi.invoices AS i
INNER JOIN bi.invoice_lines AS l ON l.invoice_id = i.id
GROUP BY month
ORDER BY month;

-- name: ch_toyyyymm_counts
-- engines: clickhouse
-- ordered
SELECT toYYYYMM(issued_on) AS ym, count() AS invoices
FROM bi.invoices
GROUP BY ym
ORDER BY ym;

-- name: ch_year_quarter
-- engines: clickhouse
-- ordered
SELECT toYear(issued_on) AS y, toQuarter(issued_on) AS q, count() AS n
FROM bi.invoices
GROUP BY y, q
ORDER BY y, q;

-- name: ch_datediff_days_to_pay
-- engines: clickhouse
-- ordered
SELECT id, dateDiff('day', issued_on, paid_on) AS days_to_pay, dateDiff('day', due_on, paid_on) AS days_late
FROM bi.invoices
WHERE paid_on IS NOT NULL
ORDER BY id;

-- name: ch_todate_between
-- engines: clickhouse
-- ordered
SELECT id, issued_on
FROM bi.invoices
WHERE issued_on BETWEEN toDate('2024-01-01') AND toDate('2024-06-30')
ORDER BY id;

-- name: ch_formatdatetime_month_label
-- engines: clickhouse
-- ordered
SELECT formatDateTime(issued_on, '%Y-%m') AS month, count() AS invoices
FROM bi.invoices
GROUP BY month
ORDER BY month;

-- name: ch_countif_sumif_by_customer
-- engines: clickhouse
-- ordered
SELECT customer_id,
       countIf(status = 'paid') AS paid,
       countIf(lower(status) = 'paid') AS paid_any_case,
       sumIf(id, status = 'overdue') AS overdue_id_sum
FROM bi.invoices
GROUP BY customer_id
ORDER BY customer_id;

-- name: ch_uniqexact_avgif_by_category
-- engines: clickhouse
-- ordered
SELECT p.category, uniqExact(l.invoice_id) AS invoices,
       round(avgIf(l.unit_price, l.discount > 0), 2) AS avg_discounted_price
FROM bi.invoice_lines AS l
INNER JOIN bi.products AS p ON p.id = l.product_id
GROUP BY p.category
ORDER BY p.category;

-- name: ch_argmax_latest_status
-- engines: clickhouse
-- ordered
SELECT customer_id, argMax(status, issued_on) AS latest_status, max(issued_on) AS last_issued
FROM bi.invoices
GROUP BY customer_id
ORDER BY customer_id;

-- name: ch_multiif_credit_band
-- engines: clickhouse
-- ordered
SELECT multiIf(credit_limit >= 50000, 'large', credit_limit >= 10000, 'medium', 'small') AS band,
       count() AS customers
FROM bi.customers
GROUP BY band
ORDER BY band;

-- name: ch_if_ifnull
-- engines: clickhouse
-- ordered
SELECT id, if(paid_on IS NULL, 'unpaid', 'paid') AS state, ifNull(note, '-') AS note
FROM bi.invoices
ORDER BY id;

-- name: ch_limit_by_top_two_lines
-- engines: clickhouse
-- ordered
SELECT invoice_id, line_no, quantity * unit_price AS amount
FROM bi.invoice_lines
ORDER BY invoice_id, amount DESC, line_no
LIMIT 2 BY invoice_id;

-- name: ch_limit_by_latest_invoice_per_customer
-- engines: clickhouse
-- ordered
SELECT customer_id, id, issued_on
FROM bi.invoices
ORDER BY customer_id, issued_on DESC, id DESC
LIMIT 1 BY customer_id;

-- name: ch_group_by_with_rollup
-- engines: clickhouse
SELECT currency, status, count() AS n
FROM bi.invoices
GROUP BY currency, status WITH ROLLUP;

-- name: ch_group_by_with_cube
-- engines: clickhouse
SELECT segment, active, count() AS n
FROM bi.customers
GROUP BY segment, active WITH CUBE;

-- name: ch_group_by_with_totals
-- engines: clickhouse
SELECT segment, count() AS n
FROM bi.customers
GROUP BY segment WITH TOTALS;

-- name: ch_rollup_year_month
-- engines: clickhouse
SELECT toYear(issued_on) AS y, toMonth(issued_on) AS m, count() AS n
FROM bi.invoices
GROUP BY ROLLUP(y, m);

-- name: ch_grouping_sets
-- engines: clickhouse
SELECT status, currency, count() AS n
FROM bi.invoices
GROUP BY GROUPING SETS ((status), (currency), ());

-- name: ch_centered_moving_average
-- engines: clickhouse
-- ordered
SELECT invoice_id, line_no,
       avg(quantity) OVER (PARTITION BY invoice_id ORDER BY line_no ROWS BETWEEN 1 PRECEDING AND 1 FOLLOWING) AS ma
FROM bi.invoice_lines
ORDER BY invoice_id, line_no;

-- name: ch_range_frame_on_integer
-- engines: clickhouse
-- ordered
SELECT invoice_id, line_no,
       sum(quantity) OVER (ORDER BY invoice_id RANGE BETWEEN 1 PRECEDING AND CURRENT ROW) AS last_two_invoices
FROM bi.invoice_lines
ORDER BY invoice_id, line_no;

-- name: ch_laginframe_previous_invoice
-- engines: clickhouse
-- ordered
SELECT id, customer_id, issued_on,
       lagInFrame(issued_on) OVER (PARTITION BY customer_id ORDER BY issued_on, id
                                   ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING) AS previous
FROM bi.invoices
ORDER BY id;

-- name: ch_rank_and_row_number
-- engines: clickhouse
-- ordered
SELECT sku, category, list_price,
       rank() OVER (PARTITION BY category ORDER BY list_price DESC) AS rank_in_category,
       row_number() OVER (ORDER BY list_price DESC, id) AS pos
FROM bi.products
ORDER BY pos;

-- name: ch_share_of_total_window
-- engines: clickhouse
-- ordered
SELECT category, sum(list_price) AS catalogue_value,
       round(100 * sum(list_price) / sum(sum(list_price)) OVER (), 2) AS pct
FROM bi.products
GROUP BY category
ORDER BY category;

-- name: ch_scalar_with
-- engines: clickhouse
-- ordered
WITH (SELECT avg(list_price) FROM bi.products) AS avg_price
SELECT sku, list_price
FROM bi.products
WHERE list_price > avg_price
ORDER BY sku;

-- name: ch_cte_chain_top_customers
-- engines: clickhouse
-- ordered
WITH per_customer AS (
  SELECT customer_id, count() AS n FROM bi.invoices GROUP BY customer_id
),
ranked AS (
  SELECT customer_id, n, row_number() OVER (ORDER BY n DESC, customer_id) AS pos FROM per_customer
)
SELECT c.name, r.n
FROM ranked AS r
INNER JOIN bi.customers AS c ON c.id = r.customer_id
WHERE r.pos <= 3
ORDER BY r.pos;

-- name: ch_union_distinct_country_codes
-- engines: clickhouse
-- (not ordered: ClickHouse applies an ORDER BY after a UNION to its last
-- SELECT only, so the reference's order of the whole is not total)
SELECT country_code AS code FROM bi.customers WHERE country_code IS NOT NULL
UNION DISTINCT
SELECT code FROM countries WHERE in_eu
ORDER BY code;

-- name: ch_except_and_intersect
-- engines: clickhouse
SELECT id FROM bi.products
EXCEPT
SELECT product_id FROM bi.invoice_lines
UNION ALL
SELECT id FROM (SELECT id FROM bi.products INTERSECT SELECT product_id FROM bi.invoice_lines WHERE quantity >= 50);

-- name: ch_left_semi_and_anti_join
-- engines: clickhouse
SELECT c.id, 'has invoices' AS kind FROM bi.customers AS c LEFT SEMI JOIN bi.invoices AS i ON i.customer_id = c.id
UNION ALL
SELECT c.id, 'no invoices' FROM bi.customers AS c LEFT ANTI JOIN bi.invoices AS i ON i.customer_id = c.id;

-- name: ch_join_using
-- engines: clickhouse
-- ordered
SELECT customer_id, count() AS invoices
FROM bi.invoices
INNER JOIN (SELECT id AS customer_id, segment FROM bi.customers) AS c USING (customer_id)
WHERE c.segment = 'SMB'
GROUP BY customer_id
ORDER BY customer_id;

-- name: ch_tuple_in
-- engines: clickhouse
-- ordered
SELECT id, currency, status
FROM bi.invoices
WHERE (currency, status) IN (('EUR', 'paid'), ('USD', 'overdue'))
ORDER BY id;

-- name: ch_prewhere
-- engines: clickhouse
-- ordered
SELECT id, status
FROM bi.invoices
PREWHERE currency = 'EUR'
WHERE status = 'paid'
ORDER BY id;

-- name: ch_string_functions
-- engines: clickhouse
-- ordered
SELECT id, lower(name) AS lname, positionCaseInsensitive(name, 'nord') > 0 AS mentions_nord,
       substring(coalesce(email, ''), position(coalesce(email, ''), '@') + 1) AS mail_domain
FROM bi.customers
ORDER BY id;

-- name: ch_grouparray_sorted
-- engines: clickhouse
-- ordered
SELECT customer_id, arraySort(groupArray(id)) AS invoice_ids
FROM bi.invoices
GROUP BY customer_id
ORDER BY customer_id;
