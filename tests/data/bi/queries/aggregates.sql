-- Aggregates: totals per dimension, HAVING, conditional and filtered
-- aggregates, distinct counts, averages over NULLs.

-- name: count_customers
-- engines: sqlite duckdb postgres clickhouse spark
SELECT COUNT(*) AS customers, COUNT(email) AS with_email, COUNT(DISTINCT country_code) AS countries
FROM bi.customers;

-- name: revenue_total
-- engines: sqlite duckdb postgres clickhouse spark
SELECT SUM(quantity * unit_price * (1 - COALESCE(discount, 0))) AS net_revenue
FROM bi.invoice_lines;

-- name: revenue_by_invoice_status
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT i.status, COUNT(DISTINCT i.id) AS invoices, SUM(l.quantity * l.unit_price) AS gross
FROM bi.invoices i
JOIN bi.invoice_lines l ON l.invoice_id = i.id
GROUP BY i.status
ORDER BY i.status;

-- name: revenue_by_customer_top5
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.name, ROUND(SUM(l.quantity * l.unit_price * (1 - COALESCE(l.discount, 0))), 2) AS revenue
FROM bi.customers c
JOIN bi.invoices i ON i.customer_id = c.id
JOIN bi.invoice_lines l ON l.invoice_id = i.id
WHERE i.status <> 'void'
GROUP BY c.name
ORDER BY revenue DESC, c.name
LIMIT 5;

-- name: revenue_by_category_having
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT p.category, SUM(l.quantity) AS units
FROM bi.invoice_lines l JOIN bi.products p ON p.id = l.product_id
GROUP BY p.category
HAVING SUM(l.quantity) > 10
ORDER BY units DESC, p.category;

-- name: having_count_and_alias_order
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customer_id, COUNT(*) AS n
FROM bi.invoices
GROUP BY customer_id
HAVING COUNT(*) >= 2
ORDER BY n DESC, customer_id;

-- name: group_by_ordinal
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT currency, status, COUNT(*) FROM bi.invoices GROUP BY 1, 2 ORDER BY 1, 2;

-- name: group_by_expression_case
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT CASE WHEN list_price < 10 THEN 'under 10' WHEN list_price < 100 THEN '10 to 100'
            ELSE '100 and more' END AS price_band,
       COUNT(*) AS products, MIN(list_price) AS cheapest, MAX(list_price) AS dearest
FROM bi.products
GROUP BY CASE WHEN list_price < 10 THEN 'under 10' WHEN list_price < 100 THEN '10 to 100'
              ELSE '100 and more' END
ORDER BY cheapest;

-- name: conditional_sums_by_customer
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customer_id,
       SUM(CASE WHEN status IN ('paid', 'PAID') THEN 1 ELSE 0 END) AS paid,
       SUM(CASE WHEN status = 'overdue' THEN 1 ELSE 0 END) AS overdue,
       SUM(CASE WHEN status = 'open' THEN 1 ELSE 0 END) AS open
FROM bi.invoices
GROUP BY customer_id
ORDER BY customer_id;

-- name: filter_clause_counts
-- engines: sqlite duckdb postgres clickhouse spark
SELECT COUNT(*) AS all_invoices,
       COUNT(*) FILTER (WHERE status = 'void') AS voided,
       COUNT(*) FILTER (WHERE paid_on IS NULL AND status <> 'void') AS unpaid,
       COUNT(DISTINCT customer_id) FILTER (WHERE currency = 'EUR') AS eur_customers
FROM bi.invoices;

-- name: filter_clause_by_category
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT p.category,
       SUM(l.quantity) FILTER (WHERE l.discount IS NOT NULL AND l.discount > 0) AS discounted_units,
       SUM(l.quantity) FILTER (WHERE l.discount IS NULL OR l.discount = 0) AS full_price_units
FROM bi.invoice_lines l JOIN bi.products p ON p.id = l.product_id
GROUP BY p.category
ORDER BY p.category NULLS LAST;

-- name: avg_ignores_nulls
-- engines: sqlite duckdb postgres clickhouse spark
SELECT AVG(discount) AS avg_discount, AVG(COALESCE(discount, 0)) AS avg_discount_zeroed,
       COUNT(discount) AS lines_with_discount
FROM bi.invoice_lines;

-- name: min_max_dates
-- engines: sqlite duckdb postgres clickhouse spark
SELECT MIN(issued_on) AS first_invoice, MAX(issued_on) AS last_invoice, MAX(paid_on) AS last_payment
FROM bi.invoices;

-- name: count_distinct_products_per_invoice
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT invoice_id, COUNT(DISTINCT product_id) AS products, SUM(quantity) AS units
FROM bi.invoice_lines
GROUP BY invoice_id
ORDER BY invoice_id;

-- name: aggregate_over_empty_filter
-- engines: sqlite duckdb postgres clickhouse spark
SELECT COUNT(*), SUM(quantity), MAX(unit_price) FROM bi.invoice_lines WHERE quantity > 100000;

-- name: group_by_with_nulls
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT segment, COUNT(*) AS customers FROM bi.customers GROUP BY segment ORDER BY segment NULLS FIRST;

-- name: having_without_group_by_column_in_select
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT country_code FROM bi.customers
GROUP BY country_code
HAVING MAX(credit_limit) > 20000
ORDER BY country_code;

-- name: sum_of_credit_by_region
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT COALESCE(co.region, 'Unknown') AS region, SUM(c.credit_limit) AS credit
FROM bi.customers c LEFT JOIN countries co ON co.code = c.country_code
GROUP BY COALESCE(co.region, 'Unknown')
ORDER BY region;

-- name: rep_performance
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT r.full_name, r.quota,
       SUM(l.quantity * l.unit_price) AS sold,
       CASE WHEN r.quota IS NULL OR r.quota = 0 THEN NULL
            ELSE ROUND(SUM(l.quantity * l.unit_price) * 100.0 / r.quota, 1) END AS pct_of_quota
FROM sales_reps r
JOIN bi.customers c ON c.rep_id = r.id
JOIN bi.invoices i ON i.customer_id = c.id
JOIN bi.invoice_lines l ON l.invoice_id = i.id
GROUP BY r.id, r.full_name, r.quota
ORDER BY r.id;

-- name: average_invoice_value_per_segment
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.segment, AVG(t.total) AS avg_invoice
FROM bi.customers c
JOIN (SELECT i.customer_id, i.id, SUM(l.quantity * l.unit_price) AS total
      FROM bi.invoices i JOIN bi.invoice_lines l ON l.invoice_id = i.id
      GROUP BY i.customer_id, i.id) t ON t.customer_id = c.id
GROUP BY c.segment
ORDER BY c.segment NULLS LAST;

-- name: distinct_inside_sum
-- engines: sqlite duckdb postgres clickhouse spark
SELECT SUM(DISTINCT quantity) AS distinct_quantities, COUNT(DISTINCT unit_price) AS prices
FROM bi.invoice_lines;

-- name: count_star_vs_count_column_on_left_join
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT p.category, COUNT(*) AS rows_seen, COUNT(l.product_id) AS lines
FROM bi.products p LEFT JOIN bi.invoice_lines l ON l.product_id = p.id
GROUP BY p.category
ORDER BY p.category NULLS LAST;

-- name: aggregate_mixed_case_group
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT Currency, Count(*) AS N, Sum(Case When Paid_On Is Null Then 1 Else 0 End) AS Unpaid
FROM Bi.Invoices
GROUP BY Currency
ORDER BY Currency;

-- name: ratio_of_paid_invoices
-- engines: sqlite duckdb postgres clickhouse spark
SELECT ROUND(1.0 * SUM(CASE WHEN paid_on IS NOT NULL THEN 1 ELSE 0 END) / COUNT(*), 4) AS paid_share
FROM bi.invoices;

-- name: string_agg_ordered
-- engines: duckdb postgres
-- ordered
SELECT category, string_agg(sku, ', ' ORDER BY sku) AS skus
FROM bi.products GROUP BY category ORDER BY category NULLS LAST;
