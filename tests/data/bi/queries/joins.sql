-- Joins between the published tables, written with aliases, with the
-- tables' own names, and with bare columns.

-- name: invoice_customer_inner_join
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT i.id, i.issued_on, c.name
FROM bi.invoices AS i
JOIN bi.customers AS c ON c.id = i.customer_id
ORDER BY i.id;

-- name: join_table_names_without_aliases
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT invoices.id, customers.name, invoices.status
FROM bi.invoices
JOIN bi.customers ON customers.id = invoices.customer_id
WHERE customers.country_code = 'DE'
ORDER BY invoices.id;

-- name: join_unqualified_unique_columns
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT invoice_id, line_no, sku, quantity
FROM bi.invoice_lines
JOIN bi.products ON product_id = bi.products.id
ORDER BY invoice_id, line_no;

-- name: join_mixed_qualified_and_bare
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT l.invoice_id, line_no, p.name, quantity * unit_price AS amount
FROM bi.invoice_lines l
INNER JOIN bi.products p ON p.id = l.product_id
WHERE category = 'Paper'
ORDER BY l.invoice_id, line_no;

-- name: three_way_join_line_items
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.name AS customer, i.id AS invoice, p.sku, l.quantity
FROM bi.customers c
JOIN bi.invoices i ON i.customer_id = c.id
JOIN bi.invoice_lines l ON l.invoice_id = i.id
JOIN bi.products p ON p.id = l.product_id
ORDER BY i.id, l.line_no;

-- name: left_join_customers_without_invoices
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.id, c.name
FROM bi.customers c
LEFT JOIN bi.invoices i ON i.customer_id = c.id
WHERE i.id IS NULL
ORDER BY c.id;

-- name: left_join_country_names
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.id, c.country_code, co.name AS country, co.region
FROM bi.customers c
LEFT JOIN countries co ON co.code = c.country_code
ORDER BY c.id;

-- name: left_join_condition_in_on
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.id, COUNT(i.id) AS open_invoices
FROM bi.customers c
LEFT OUTER JOIN bi.invoices i ON i.customer_id = c.id AND i.status IN ('open', 'overdue')
GROUP BY c.id
ORDER BY c.id;

-- name: right_join_products_lines
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT p.id, p.sku, COUNT(l.line_no) AS times_sold
FROM bi.invoice_lines l
RIGHT JOIN bi.products p ON p.id = l.product_id
GROUP BY p.id, p.sku
ORDER BY p.id;

-- name: full_join_countries_customers
-- engines: sqlite duckdb postgres clickhouse spark
SELECT co.code, c.country_code, c.id
FROM countries co
FULL OUTER JOIN bi.customers c ON c.country_code = co.code;

-- name: join_using_clause
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, i.status, c.name
FROM bi.invoices i
JOIN (SELECT id AS customer_id, name FROM bi.customers) c USING (customer_id)
ORDER BY id;

-- name: join_using_on_published_column
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT invoice_id, COUNT(*) AS lines
FROM bi.invoice_lines
JOIN (SELECT id AS invoice_id FROM bi.invoices WHERE status = 'paid') AS paid USING (invoice_id)
GROUP BY invoice_id
ORDER BY invoice_id;

-- name: natural_join_renamed_keys
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT invoice_id, line_no, issued_on
FROM bi.invoice_lines
NATURAL JOIN (SELECT id AS invoice_id, issued_on FROM bi.invoices) AS hdr
ORDER BY invoice_id, line_no;

-- name: comma_join_where
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT i.id, c.name
FROM bi.invoices i, bi.customers c
WHERE c.id = i.customer_id AND i.currency <> 'EUR'
ORDER BY i.id;

-- name: cross_join_categories_currencies
-- engines: sqlite duckdb postgres clickhouse spark
SELECT DISTINCT p.category, i.currency
FROM bi.products p CROSS JOIN bi.invoices i
WHERE p.category IS NOT NULL;

-- name: self_join_reps_managers
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT r.full_name AS rep, m.full_name AS manager
FROM sales_reps r
LEFT JOIN sales_reps m ON m.id = r.manager_id
ORDER BY r.id;

-- name: self_join_same_day_invoices
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT a.id, b.id AS later_id
FROM bi.invoices a JOIN bi.invoices b
  ON a.customer_id = b.customer_id AND b.issued_on > a.issued_on
 AND b.issued_on <= a.due_on
ORDER BY a.id, b.id;

-- name: customers_reps_and_countries
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customers.name, sales_reps.full_name, countries.name AS country
FROM bi.customers
LEFT JOIN sales_reps ON sales_reps.id = customers.rep_id
LEFT JOIN countries ON countries.code = customers.country_code
ORDER BY customers.id;

-- name: join_on_expression
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT l.invoice_id, l.line_no, p.list_price, l.unit_price
FROM bi.invoice_lines l
JOIN bi.products p ON p.id = l.product_id AND l.unit_price < p.list_price
ORDER BY l.invoice_id, l.line_no;

-- name: anti_join_products_never_sold
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT p.sku FROM bi.products p
LEFT JOIN bi.invoice_lines l ON l.product_id = p.id
WHERE l.invoice_id IS NULL
ORDER BY p.sku;

-- name: join_derived_totals
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT i.id, i.status, t.total
FROM bi.invoices i
JOIN (SELECT invoice_id, SUM(quantity * unit_price) AS total
      FROM bi.invoice_lines GROUP BY invoice_id) t ON t.invoice_id = i.id
ORDER BY t.total DESC, i.id;

-- name: same_table_twice_different_aliases
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c1.name, c2.name AS same_country_peer
FROM bi.customers c1 JOIN bi.customers c2
  ON c1.country_code = c2.country_code AND c1.id < c2.id
ORDER BY c1.id, c2.id;

-- name: parenthesized_join
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT c.id, i.id AS invoice_id, l.line_no
FROM bi.customers c
LEFT JOIN (bi.invoices i JOIN bi.invoice_lines l ON l.invoice_id = i.id)
  ON i.customer_id = c.id
ORDER BY c.id, i.id, l.line_no;

-- name: join_lookup_without_alias_and_schema_alias
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customers.name, countries.region
FROM bi.customers JOIN countries ON countries.code = customers.country_code
WHERE countries.in_eu = FALSE
ORDER BY customers.name;

-- name: join_with_mixed_case_aliases
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT Inv.ID, Cust.Name, Rep.Full_Name
FROM BI.Invoices Inv
JOIN BI.Customers Cust ON Cust.ID = Inv.Customer_ID
LEFT JOIN Sales_Reps Rep ON Rep.ID = Cust.Rep_ID
ORDER BY Inv.ID;
