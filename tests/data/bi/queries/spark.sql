-- Spark SQL's dialect, as notebooks and dashboards on Spark write it:
-- date_trunc, trunc, date_format and the other date functions, count_if
-- and FILTER, ROLLUP / CUBE / GROUPING SETS with grouping_id, window
-- frames and named windows, QUALIFY, LEFT SEMI and ANTI joins, nvl and if,
-- collect_list, percentile, backquoted names, PIVOT, GROUP BY ALL.

-- name: spark_revenue_by_month_date_trunc
-- engines: spark
-- ordered
SELECT date_trunc('MONTH', i.issued_on) AS month, SUM(l.quantity * l.unit_price) AS gross
FROM bi.invoices i
JOIN bi.invoice_lines l ON l.invoice_id = i.id
GROUP BY date_trunc('MONTH', i.issued_on)
ORDER BY month;

-- name: spark_trunc_month_counts
-- engines: spark
-- ordered
SELECT trunc(issued_on, 'MM') AS month, COUNT(*) AS invoices
FROM bi.invoices
GROUP BY trunc(issued_on, 'MM')
ORDER BY month;

-- name: spark_date_format_label
-- engines: spark
-- ordered
SELECT date_format(issued_on, 'yyyy-MM') AS month, COUNT(*) AS invoices
FROM bi.invoices
GROUP BY date_format(issued_on, 'yyyy-MM')
ORDER BY month;

-- name: spark_year_quarter_parts
-- engines: spark
-- ordered
SELECT year(issued_on) AS y, quarter(issued_on) AS q, month(issued_on) AS m, COUNT(*) AS n
FROM bi.invoices
GROUP BY year(issued_on), quarter(issued_on), month(issued_on)
ORDER BY y, q, m;

-- name: spark_datediff_months_between
-- engines: spark
-- ordered
SELECT id, datediff(paid_on, issued_on) AS days_to_pay,
       round(months_between(paid_on, issued_on), 2) AS months_to_pay
FROM bi.invoices
WHERE paid_on IS NOT NULL
ORDER BY id;

-- name: spark_date_add_add_months_last_day
-- engines: spark
-- ordered
SELECT id, date_add(issued_on, 30) AS plus_30, add_months(issued_on, 1) AS plus_month,
       last_day(issued_on) AS month_end
FROM bi.invoices
ORDER BY id;

-- name: spark_date_literal_and_interval
-- engines: spark
-- ordered
SELECT id, issued_on
FROM bi.invoices
WHERE issued_on >= DATE '2024-07-01' - INTERVAL 90 DAYS AND issued_on < DATE '2024-07-01'
ORDER BY id;

-- name: spark_count_if_and_case_sums
-- engines: spark
-- ordered
SELECT customer_id,
       count_if(status = 'paid') AS paid,
       SUM(CASE WHEN lower(status) = 'paid' THEN 1 ELSE 0 END) AS paid_any_case,
       COUNT(DISTINCT currency) AS currencies
FROM bi.invoices
GROUP BY customer_id
ORDER BY customer_id;

-- name: spark_aggregate_filter_clause
-- engines: spark
-- ordered
SELECT currency,
       COUNT(*) FILTER (WHERE paid_on IS NULL) AS unpaid,
       MAX(issued_on) FILTER (WHERE status = 'paid') AS last_paid_issue
FROM bi.invoices
GROUP BY currency
ORDER BY currency;

-- name: spark_rollup_with_grouping
-- engines: spark
SELECT currency, status, COUNT(*) AS n, grouping(status) AS status_total
FROM bi.invoices
GROUP BY ROLLUP(currency, status);

-- name: spark_cube_with_grouping_id
-- engines: spark
SELECT segment, active, COUNT(*) AS n, grouping_id() AS level
FROM bi.customers
GROUP BY CUBE(segment, active);

-- name: spark_grouping_sets
-- engines: spark
SELECT status, currency, COUNT(*) AS n
FROM bi.invoices
GROUP BY GROUPING SETS ((status), (currency), ());

-- name: spark_group_by_with_rollup
-- engines: spark
SELECT category, discontinued, COUNT(*) AS products
FROM bi.products
GROUP BY category, discontinued WITH ROLLUP;

-- name: spark_group_by_all
-- engines: spark
-- ordered
SELECT segment, active, COUNT(*) AS customers
FROM bi.customers
GROUP BY ALL
ORDER BY segment NULLS FIRST, active;

-- name: spark_range_frame_on_integer
-- engines: spark
-- ordered
SELECT invoice_id, line_no,
       SUM(quantity) OVER (ORDER BY invoice_id RANGE BETWEEN 1 PRECEDING AND CURRENT ROW) AS last_two_invoices
FROM bi.invoice_lines
ORDER BY invoice_id, line_no;

-- name: spark_lag_lead_by_customer
-- engines: spark
-- ordered
SELECT id, customer_id, issued_on,
       lag(issued_on) OVER (PARTITION BY customer_id ORDER BY issued_on, id) AS previous,
       lead(id, 1, -1) OVER (PARTITION BY customer_id ORDER BY issued_on, id) AS next_id
FROM bi.invoices
ORDER BY id;

-- name: spark_named_window
-- engines: spark
-- ordered
SELECT invoice_id, line_no, quantity,
       SUM(quantity) OVER w AS running_units, ROW_NUMBER() OVER w AS pos
FROM bi.invoice_lines
WINDOW w AS (PARTITION BY invoice_id ORDER BY line_no)
ORDER BY invoice_id, line_no;

-- name: spark_ntile_percent_rank
-- engines: spark
-- ordered
SELECT id, credit_limit,
       ntile(3) OVER (ORDER BY credit_limit DESC NULLS LAST, id) AS tercile,
       round(percent_rank() OVER (ORDER BY credit_limit), 4) AS pct_rank
FROM bi.customers
ORDER BY id;

-- name: spark_qualify_latest_invoice
-- engines: spark
-- ordered
SELECT customer_id, id, issued_on
FROM bi.invoices
QUALIFY ROW_NUMBER() OVER (PARTITION BY customer_id ORDER BY issued_on DESC, id DESC) = 1
ORDER BY customer_id;

-- name: spark_cte_chain_top_customers
-- engines: spark
-- ordered
WITH per_customer AS (
  SELECT customer_id, COUNT(*) AS n FROM bi.invoices GROUP BY customer_id
),
ranked AS (
  SELECT customer_id, n, ROW_NUMBER() OVER (ORDER BY n DESC, customer_id) AS pos FROM per_customer
)
SELECT c.name, r.n
FROM ranked r
JOIN bi.customers c ON c.id = r.customer_id
WHERE r.pos <= 3
ORDER BY r.pos;

-- name: spark_minus_and_intersect_all
-- engines: spark
SELECT id FROM bi.products
MINUS
SELECT product_id FROM bi.invoice_lines
UNION ALL
(SELECT product_id FROM bi.invoice_lines WHERE quantity >= 50
 INTERSECT ALL
 SELECT product_id FROM bi.invoice_lines WHERE discount IS NULL);

-- name: spark_left_semi_and_anti_join
-- engines: spark
SELECT c.id, 'has invoices' AS kind FROM bi.customers c LEFT SEMI JOIN bi.invoices i ON i.customer_id = c.id
UNION ALL
SELECT c.id, 'no invoices' FROM bi.customers c LEFT ANTI JOIN bi.invoices i ON i.customer_id = c.id;

-- name: spark_nvl_if_nvl2
-- engines: spark
-- ordered
SELECT id, if(paid_on IS NULL, 'unpaid', 'paid') AS state, nvl(note, '-') AS note,
       nvl2(paid_on, datediff(paid_on, due_on), NULL) AS days_late
FROM bi.invoices
ORDER BY id;

-- name: spark_collect_list_sorted
-- engines: spark
-- ordered
SELECT customer_id, array_sort(collect_list(id)) AS invoice_ids, size(collect_set(status)) AS statuses
FROM bi.invoices
GROUP BY customer_id
ORDER BY customer_id;

-- name: spark_string_functions
-- engines: spark
-- ordered
SELECT id, initcap(lower(name)) AS display_name, substring_index(email, '@', -1) AS mail_domain,
       concat_ws(' / ', segment, country_code) AS label
FROM bi.customers
ORDER BY id;

-- name: spark_percentile_exact
-- engines: spark
-- ordered
SELECT p.category, percentile(l.quantity, 0.5) AS median_quantity
FROM bi.invoice_lines l
JOIN bi.products p ON p.id = l.product_id
GROUP BY p.category
ORDER BY p.category NULLS FIRST;

-- name: spark_backquoted_names
-- engines: spark
-- ordered
SELECT `c`.`id`, `c`.`name`, COUNT(`i`.`id`) AS `Invoice Count`
FROM `bi`.`customers` AS `c`
LEFT JOIN `bi`.`invoices` AS `i` ON `i`.`customer_id` = `c`.`id`
GROUP BY `c`.`id`, `c`.`name`
ORDER BY `c`.`id`;

-- name: spark_limit_offset_paging
-- engines: spark
-- ordered
SELECT id, issued_on
FROM bi.invoices
ORDER BY issued_on DESC, id DESC
LIMIT 5 OFFSET 5;

-- name: spark_pivot_status_counts
-- engines: spark
SELECT *
FROM (SELECT customer_id, status FROM bi.invoices)
PIVOT (COUNT(*) FOR status IN ('paid' AS paid, 'overdue' AS overdue, 'void' AS void));

-- name: spark_cast_string_bucket
-- engines: spark
-- ordered
SELECT CAST(year(signup_date) AS STRING) || '-H' || CAST(CASE WHEN month(signup_date) <= 6 THEN 1 ELSE 2 END AS STRING) AS half,
       COUNT(*) AS signups
FROM bi.customers
GROUP BY 1
ORDER BY 1;
