-- Window functions: rankings, running totals with explicit frames, moving
-- averages, offsets, named windows.

-- name: running_revenue_rows_frame
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT i.id, i.issued_on, t.total,
       SUM(t.total) OVER (ORDER BY i.issued_on, i.id
                          ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW) AS running_total
FROM bi.invoices i
JOIN (SELECT invoice_id, SUM(quantity * unit_price) AS total
      FROM bi.invoice_lines GROUP BY invoice_id) t ON t.invoice_id = i.id
ORDER BY i.issued_on, i.id;

-- name: running_revenue_rows_frame_cte
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH totals AS (
  SELECT invoice_id, SUM(quantity * unit_price) AS total
  FROM bi.invoice_lines
  GROUP BY invoice_id
)
SELECT i.id, i.issued_on, t.total,
       SUM(t.total) OVER (ORDER BY i.issued_on, i.id ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW) AS running
FROM bi.invoices i
JOIN totals t ON t.invoice_id = i.id
ORDER BY i.issued_on, i.id;

-- name: running_count_per_customer
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customer_id, id,
       COUNT(*) OVER (PARTITION BY customer_id ORDER BY issued_on, id
                      ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW) AS nth_invoice
FROM bi.invoices
ORDER BY customer_id, id;

-- name: moving_average_three_rows
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT invoice_id, line_no, quantity,
       AVG(quantity) OVER (ORDER BY invoice_id, line_no ROWS BETWEEN 2 PRECEDING AND CURRENT ROW) AS ma3
FROM bi.invoice_lines
ORDER BY invoice_id, line_no;

-- name: centered_window_following
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT invoice_id, line_no,
       SUM(quantity) OVER (ORDER BY invoice_id, line_no ROWS BETWEEN 1 PRECEDING AND 1 FOLLOWING) AS around
FROM bi.invoice_lines
ORDER BY invoice_id, line_no;

-- name: range_frame_unbounded_with_ties
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, category, list_price,
       COUNT(*) OVER (ORDER BY category RANGE BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW) AS upto_category
FROM bi.products
ORDER BY id;

-- name: range_frame_numeric_offset
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT id, list_price,
       COUNT(*) OVER (ORDER BY list_price RANGE BETWEEN 10 PRECEDING AND 10 FOLLOWING) AS similar_priced
FROM bi.products
ORDER BY id;

-- name: rank_products_by_units
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT p.sku, SUM(l.quantity) AS units,
       RANK() OVER (ORDER BY SUM(l.quantity) DESC) AS rnk,
       DENSE_RANK() OVER (ORDER BY SUM(l.quantity) DESC) AS dense_rnk
FROM bi.products p JOIN bi.invoice_lines l ON l.product_id = p.id
GROUP BY p.sku
ORDER BY rnk, p.sku;

-- name: row_number_latest_invoice_per_customer
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customer_id, id, issued_on FROM (
  SELECT customer_id, id, issued_on,
         ROW_NUMBER() OVER (PARTITION BY customer_id ORDER BY issued_on DESC, id DESC) AS rn
  FROM bi.invoices
) ranked
WHERE rn = 1
ORDER BY customer_id;

-- name: lag_lead_days_between_invoices
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customer_id, id, issued_on,
       LAG(issued_on) OVER (PARTITION BY customer_id ORDER BY issued_on, id) AS previous_invoice,
       LEAD(id, 1, -1) OVER (PARTITION BY customer_id ORDER BY issued_on, id) AS next_id
FROM bi.invoices
ORDER BY customer_id, issued_on, id;

-- name: first_last_value_full_frame
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT DISTINCT customer_id,
       FIRST_VALUE(id) OVER w AS first_invoice,
       LAST_VALUE(id) OVER w AS last_invoice
FROM bi.invoices
WINDOW w AS (PARTITION BY customer_id ORDER BY issued_on, id
             ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING)
ORDER BY customer_id;

-- name: share_of_category_total
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, category, list_price,
       ROUND(list_price / SUM(list_price) OVER (PARTITION BY category), 4) AS share
FROM bi.products
ORDER BY id;

-- name: ntile_customers_by_credit
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, credit_limit, NTILE(3) OVER (ORDER BY credit_limit DESC NULLS LAST, id) AS tercile
FROM bi.customers
ORDER BY id;

-- name: percent_rank_and_cume_dist
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT sku, list_price,
       PERCENT_RANK() OVER (ORDER BY list_price) AS pr,
       CUME_DIST() OVER (ORDER BY list_price) AS cd
FROM bi.products
ORDER BY sku;

-- name: window_over_aggregate_monthly_share
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT status, COUNT(*) AS n,
       ROUND(100.0 * COUNT(*) / SUM(COUNT(*)) OVER (), 2) AS pct
FROM bi.invoices
GROUP BY status
ORDER BY status;

-- name: named_window_several_functions
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT invoice_id, line_no, quantity,
       SUM(quantity) OVER w AS running_units,
       MAX(quantity) OVER w AS max_so_far,
       ROW_NUMBER() OVER w AS pos
FROM bi.invoice_lines
WINDOW w AS (PARTITION BY invoice_id ORDER BY line_no ROWS UNBOUNDED PRECEDING)
ORDER BY invoice_id, line_no;

-- name: window_filter_clause
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, customer_id,
       COUNT(*) FILTER (WHERE status = 'overdue') OVER (PARTITION BY customer_id) AS overdue_for_customer
FROM bi.invoices
ORDER BY id;

-- name: nth_value_second_invoice
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT DISTINCT customer_id,
       NTH_VALUE(id, 2) OVER (PARTITION BY customer_id ORDER BY issued_on, id
                              ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING) AS second_invoice
FROM bi.invoices
ORDER BY customer_id;

-- name: groups_frame
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT id, category,
       COUNT(*) OVER (ORDER BY category GROUPS BETWEEN 1 PRECEDING AND CURRENT ROW) AS two_groups
FROM bi.products
ORDER BY id;

-- name: frame_exclude_current_row
-- engines: sqlite duckdb postgres
-- ordered
SELECT id, list_price,
       SUM(list_price) OVER (PARTITION BY category ORDER BY id
                             ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING
                             EXCLUDE CURRENT ROW) AS others_in_category
FROM bi.products
ORDER BY id;

-- name: range_interval_trailing_90_days
-- engines: duckdb postgres spark
-- ordered
SELECT id, issued_on,
       COUNT(*) OVER (ORDER BY issued_on RANGE BETWEEN INTERVAL '90 days' PRECEDING AND CURRENT ROW)
         AS invoices_last_90_days
FROM bi.invoices
ORDER BY id;

-- name: cumulative_distinct_customers_by_month
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT first_month, COUNT(*) AS new_customers,
       SUM(COUNT(*)) OVER (ORDER BY first_month ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW) AS cumulative
FROM (SELECT customer_id, MIN(SUBSTR(CAST(issued_on AS VARCHAR), 1, 7)) AS first_month
      FROM bi.invoices GROUP BY customer_id) firsts
GROUP BY first_month
ORDER BY first_month;

-- name: top_two_lines_per_invoice
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT invoice_id, line_no, amount FROM (
  SELECT invoice_id, line_no, quantity * unit_price AS amount,
         RANK() OVER (PARTITION BY invoice_id ORDER BY quantity * unit_price DESC, line_no) AS r
  FROM bi.invoice_lines
) x
WHERE r <= 2
ORDER BY invoice_id, r;

-- name: difference_from_previous_price
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT category, sku, list_price,
       list_price - LAG(list_price) OVER (PARTITION BY category ORDER BY list_price, sku) AS step
FROM bi.products
WHERE category IS NOT NULL
ORDER BY category, list_price, sku;

-- name: qualify_latest_invoice
-- engines: duckdb clickhouse spark
-- ordered
SELECT customer_id, id, issued_on
FROM bi.invoices
QUALIFY ROW_NUMBER() OVER (PARTITION BY customer_id ORDER BY issued_on DESC, id DESC) = 1
ORDER BY customer_id;

-- name: window_mixed_case_partition
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT Id, Customer_Id,
       Sum(1) Over (Partition By Customer_Id Order By Issued_On, Id Rows Between Unbounded Preceding And Current Row) AS Seq
FROM Bi.Invoices
ORDER BY Id;
