-- Whole reports as analysts write them: several CTEs feeding windows,
-- cohorts, ageing buckets, year over year, pagination with a total.

-- name: report_receivables_ageing_sqlite
-- engines: sqlite
-- ordered
WITH open_items AS (
  SELECT i.id, i.customer_id, i.due_on,
         SUM(l.quantity * l.unit_price * (1 - COALESCE(l.discount, 0))) AS amount
  FROM bi.invoices i JOIN bi.invoice_lines l ON l.invoice_id = i.id
  WHERE i.paid_on IS NULL AND i.status <> 'void'
  GROUP BY i.id, i.customer_id, i.due_on
), aged AS (
  SELECT customer_id, amount,
         CASE WHEN due_on >= '2024-12-01' THEN 'current'
              WHEN due_on >= '2024-09-01' THEN '1-90'
              ELSE '90+' END AS bucket
  FROM open_items
)
SELECT c.name, bucket, ROUND(SUM(amount), 2) AS outstanding
FROM aged JOIN bi.customers c ON c.id = aged.customer_id
GROUP BY c.name, bucket
ORDER BY c.name, bucket;

-- name: report_receivables_ageing_interval
-- engines: duckdb postgres clickhouse spark
-- ordered
WITH open_items AS (
  SELECT i.customer_id, i.due_on,
         SUM(l.quantity * l.unit_price * (1 - COALESCE(l.discount, 0))) AS amount
  FROM bi.invoices i JOIN bi.invoice_lines l ON l.invoice_id = i.id
  WHERE i.paid_on IS NULL AND i.status <> 'void'
  GROUP BY i.id, i.customer_id, i.due_on
)
SELECT c.name,
       SUM(amount) FILTER (WHERE due_on >= DATE '2025-01-01' - INTERVAL '30 days') AS d0_30,
       SUM(amount) FILTER (WHERE due_on < DATE '2025-01-01' - INTERVAL '30 days'
                             AND due_on >= DATE '2025-01-01' - INTERVAL '90 days') AS d31_90,
       SUM(amount) FILTER (WHERE due_on < DATE '2025-01-01' - INTERVAL '90 days') AS d90_plus
FROM open_items o JOIN bi.customers c ON c.id = o.customer_id
GROUP BY c.name
ORDER BY c.name;

-- name: report_monthly_yoy_postgres
-- engines: postgres
-- ordered
WITH monthly AS (
  SELECT date_trunc('month', i.issued_on)::date AS month, SUM(l.quantity * l.unit_price) AS revenue
  FROM bi.invoices i JOIN bi.invoice_lines l ON l.invoice_id = i.id
  WHERE i.status <> 'void'
  GROUP BY 1
)
SELECT m.month, m.revenue, prev.revenue AS revenue_last_year,
       ROUND(100 * (m.revenue - prev.revenue) / NULLIF(prev.revenue, 0), 1) AS yoy_pct
FROM monthly m
LEFT JOIN monthly prev ON prev.month = (m.month - INTERVAL '1 year')::date
ORDER BY m.month;

-- name: report_monthly_yoy_duckdb
-- engines: duckdb
-- ordered
WITH monthly AS (
  SELECT date_trunc('month', i.issued_on) AS month, SUM(l.quantity * l.unit_price) AS revenue
  FROM bi.invoices i JOIN bi.invoice_lines l ON l.invoice_id = i.id
  WHERE i.status <> 'void'
  GROUP BY ALL
)
SELECT m.month, m.revenue, prev.revenue AS revenue_last_year
FROM monthly m
LEFT JOIN monthly prev ON prev.month = m.month - INTERVAL 1 YEAR
ORDER BY m.month;

-- name: report_monthly_mom_sqlite
-- engines: sqlite
-- ordered
WITH monthly AS (
  SELECT strftime('%Y-%m', i.issued_on) AS month, SUM(l.quantity * l.unit_price) AS revenue
  FROM bi.invoices i JOIN bi.invoice_lines l ON l.invoice_id = i.id
  GROUP BY 1
)
SELECT month, revenue, LAG(revenue) OVER (ORDER BY month) AS previous,
       ROUND(revenue - LAG(revenue) OVER (ORDER BY month), 2) AS change
FROM monthly
ORDER BY month;

-- name: report_customer_cohorts
-- engines: sqlite duckdb postgres clickhouse
-- ordered
WITH firsts AS (
  SELECT customer_id, MIN(SUBSTR(CAST(issued_on AS VARCHAR), 1, 4)) AS cohort FROM bi.invoices GROUP BY customer_id
), activity AS (
  SELECT DISTINCT customer_id, SUBSTR(CAST(issued_on AS VARCHAR), 1, 4) AS yr FROM bi.invoices
)
SELECT f.cohort, a.yr, COUNT(*) AS active_customers
FROM firsts f JOIN activity a ON a.customer_id = f.customer_id
GROUP BY f.cohort, a.yr
ORDER BY f.cohort, a.yr;

-- name: report_pagination_with_total
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, name, COUNT(*) OVER () AS total_rows
FROM bi.customers
ORDER BY name, id
LIMIT 5 OFFSET 0;

-- name: report_pareto_customers
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH revenue AS (
  SELECT i.customer_id, SUM(l.quantity * l.unit_price) AS amount
  FROM bi.invoices i JOIN bi.invoice_lines l ON l.invoice_id = i.id
  GROUP BY i.customer_id
), ranked AS (
  SELECT customer_id, amount,
         SUM(amount) OVER (ORDER BY amount DESC, customer_id ROWS BETWEEN UNBOUNDED PRECEDING AND CURRENT ROW) AS running,
         SUM(amount) OVER () AS grand_total
  FROM revenue
)
SELECT c.name, r.amount, ROUND(100.0 * r.running / r.grand_total, 1) AS cumulative_pct
FROM ranked r JOIN bi.customers c ON c.id = r.customer_id
ORDER BY r.amount DESC, r.customer_id;

-- name: report_product_mix_by_segment
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT COALESCE(c.segment, 'n/a') AS segment, COALESCE(p.category, 'n/a') AS category,
       SUM(l.quantity) AS units,
       ROUND(1.0 * SUM(l.quantity) / SUM(SUM(l.quantity)) OVER (PARTITION BY COALESCE(c.segment, 'n/a')), 3) AS share
FROM bi.invoice_lines l
JOIN bi.invoices i ON i.id = l.invoice_id
JOIN bi.customers c ON c.id = i.customer_id
JOIN bi.products p ON p.id = l.product_id
GROUP BY COALESCE(c.segment, 'n/a'), COALESCE(p.category, 'n/a')
ORDER BY segment, category;

-- name: report_rep_leaderboard
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH sold AS (
  SELECT c.rep_id, SUM(l.quantity * l.unit_price) AS amount, COUNT(DISTINCT i.id) AS invoices
  FROM bi.customers c
  JOIN bi.invoices i ON i.customer_id = c.id
  JOIN bi.invoice_lines l ON l.invoice_id = i.id
  WHERE i.status <> 'void' AND c.rep_id IS NOT NULL
  GROUP BY c.rep_id
)
SELECT r.full_name, m.full_name AS manager, COALESCE(s.amount, 0) AS amount, COALESCE(s.invoices, 0) AS invoices,
       DENSE_RANK() OVER (ORDER BY COALESCE(s.amount, 0) DESC) AS place
FROM sales_reps r
LEFT JOIN sales_reps m ON m.id = r.manager_id
LEFT JOIN sold s ON s.rep_id = r.id
ORDER BY place, r.full_name;

-- name: report_discount_effect
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT CASE WHEN discount IS NULL THEN 'none recorded'
            WHEN discount = 0 THEN 'zero'
            WHEN discount < 0.1 THEN 'under 10%'
            ELSE '10% and more' END AS discount_band,
       COUNT(*) AS lines, SUM(quantity) AS units,
       ROUND(SUM(quantity * unit_price * (1 - COALESCE(discount, 0))), 2) AS net,
       ROUND(SUM(quantity * unit_price * COALESCE(discount, 0)), 2) AS given_away
FROM bi.invoice_lines
GROUP BY 1
ORDER BY 1;

-- name: report_country_region_drilldown
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT COALESCE(co.region, 'Unknown') AS region, COALESCE(co.name, c.country_code, 'Unknown') AS country,
       COUNT(DISTINCT c.id) AS customers, COUNT(i.id) AS invoices
FROM bi.customers c
LEFT JOIN countries co ON co.code = c.country_code
LEFT JOIN bi.invoices i ON i.customer_id = c.id
GROUP BY COALESCE(co.region, 'Unknown'), COALESCE(co.name, c.country_code, 'Unknown')
ORDER BY region, country;

-- name: report_payment_punctuality_postgres
-- engines: postgres
-- ordered
SELECT c.name,
       COUNT(*) FILTER (WHERE i.paid_on <= i.due_on) AS on_time,
       COUNT(*) FILTER (WHERE i.paid_on > i.due_on) AS late,
       ROUND(AVG(i.paid_on - i.due_on) FILTER (WHERE i.paid_on > i.due_on), 1) AS avg_days_late
FROM bi.customers c JOIN bi.invoices i ON i.customer_id = c.id
WHERE i.paid_on IS NOT NULL
GROUP BY c.name
ORDER BY c.name;

-- name: report_payment_punctuality_duckdb
-- engines: duckdb
-- ordered
SELECT c.name,
       count_if(i.paid_on <= i.due_on) AS on_time,
       count_if(i.paid_on > i.due_on) AS late,
       ROUND(AVG(date_diff('day', i.due_on, i.paid_on)) FILTER (WHERE i.paid_on > i.due_on), 1) AS avg_days_late
FROM bi.customers c JOIN bi.invoices i ON i.customer_id = c.id
WHERE i.paid_on IS NOT NULL
GROUP BY c.name
ORDER BY c.name;

-- name: report_safe_division
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT c.id,
       SUM(l.quantity * l.unit_price) / NULLIF(COUNT(DISTINCT i.id), 0) AS avg_invoice,
       CAST(c.credit_limit AS INTEGER) / NULLIF(COUNT(DISTINCT i.id), 0) AS credit_per_invoice
FROM bi.customers c
LEFT JOIN bi.invoices i ON i.customer_id = c.id
LEFT JOIN bi.invoice_lines l ON l.invoice_id = i.id
GROUP BY c.id, c.credit_limit
ORDER BY c.id;

-- name: report_casts_of_published_columns
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT id, CAST(issued_on AS VARCHAR) AS issued, CAST(customer_id AS VARCHAR) || '/' || CAST(id AS VARCHAR) AS ref,
       CAST(SUBSTR(CAST(issued_on AS VARCHAR), 1, 4) AS INTEGER) AS yr
FROM bi.invoices ORDER BY id;

-- name: report_first_purchase_product
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH ordered_lines AS (
  SELECT i.customer_id, l.product_id,
         ROW_NUMBER() OVER (PARTITION BY i.customer_id ORDER BY i.issued_on, i.id, l.line_no) AS rn
  FROM bi.invoices i JOIN bi.invoice_lines l ON l.invoice_id = i.id
)
SELECT c.name, p.sku AS first_product
FROM ordered_lines o
JOIN bi.customers c ON c.id = o.customer_id
JOIN bi.products p ON p.id = o.product_id
WHERE o.rn = 1
ORDER BY c.name;
