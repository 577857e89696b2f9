-- How names resolve: stars, table names used as qualifiers, aliases that
-- shadow table names, columns an inner scope shares with an outer one,
-- alias column lists, VALUES and generated rows joined to published tables.

-- name: star_over_join
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT * FROM bi.invoices i JOIN bi.customers c ON c.id = i.customer_id ORDER BY i.id;

-- name: qualified_stars
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.*, i.id AS invoice_id FROM bi.customers c JOIN bi.invoices i ON i.customer_id = c.id ORDER BY i.id;

-- name: star_qualified_by_table_name
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customers.*, countries.name AS country FROM bi.customers
LEFT JOIN countries ON countries.code = customers.country_code
ORDER BY customers.id;

-- name: star_with_extra_columns
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT *, list_price * 2 AS double_price FROM bi.products ORDER BY id;

-- name: star_over_using_join
-- engines: duckdb postgres clickhouse spark
-- ordered
SELECT * FROM bi.invoice_lines
JOIN (SELECT id AS invoice_id, status FROM bi.invoices) AS hdr USING (invoice_id)
ORDER BY invoice_id, line_no;

-- name: alias_named_like_other_table
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customers.id, customers.status FROM bi.invoices AS customers ORDER BY customers.id;

-- name: alias_swaps_short_names
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT invoices.name, customers.issued_on
FROM bi.customers AS invoices JOIN bi.invoices AS customers ON customers.customer_id = invoices.id
ORDER BY customers.id;

-- name: inner_scope_shadows_outer_column
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, name FROM bi.customers
WHERE EXISTS (SELECT 1 FROM bi.invoices WHERE customer_id = 3 AND id > 5)
ORDER BY id;

-- name: correlated_same_short_name_different_schema_alias
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT p.id, (SELECT COUNT(*) FROM bi.invoice_lines l WHERE l.product_id = p.id) AS lines
FROM bi.products p WHERE p.id IN (SELECT product_id FROM bi.invoice_lines) ORDER BY p.id;

-- name: select_alias_same_as_column
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, -quantity AS quantity FROM
  (SELECT invoice_id AS id, line_no, quantity FROM bi.invoice_lines) t
ORDER BY id, line_no;

-- name: order_by_alias_shadowing_column
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, list_price * -1 AS list_price FROM bi.products ORDER BY list_price, id;

-- name: group_by_select_alias
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT UPPER(currency) AS ccy, COUNT(*) AS n FROM bi.invoices GROUP BY ccy ORDER BY ccy;

-- name: having_uses_select_alias
-- engines: sqlite duckdb clickhouse spark
-- ordered
SELECT customer_id, COUNT(*) AS n FROM bi.invoices GROUP BY customer_id HAVING n > 2 ORDER BY customer_id;

-- name: lateral_column_alias_reuse
-- engines: duckdb clickhouse spark
-- ordered
SELECT id, quantity_total AS q, q * 2 AS q2 FROM (
  SELECT invoice_id AS id, SUM(quantity) AS quantity_total FROM bi.invoice_lines GROUP BY invoice_id) t
ORDER BY id;

-- name: derived_alias_column_list
-- engines: duckdb postgres clickhouse spark
-- ordered
SELECT t.cid, t.n FROM (SELECT customer_id, COUNT(*) FROM bi.invoices GROUP BY customer_id) AS t(cid, n)
ORDER BY t.cid;

-- name: published_table_alias_column_list
-- engines: duckdb postgres
-- ordered
SELECT r.rid, r.who FROM sales_reps AS r(rid, who) ORDER BY r.rid;

-- name: values_join_status_order
-- engines: duckdb postgres clickhouse spark
-- ordered
SELECT v.label, COUNT(i.id) AS n
FROM (VALUES ('paid', 1, 'Paid'), ('open', 2, 'Open'), ('overdue', 3, 'Overdue'), ('void', 4, 'Void'))
  AS v(status, pos, label)
LEFT JOIN bi.invoices i ON i.status = v.status
GROUP BY v.label, v.pos
ORDER BY v.pos;

-- name: values_cte_targets
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH targets(segment, target) AS (VALUES ('Enterprise', 3), ('SMB', 5), ('Public', 1))
SELECT t.segment, t.target, COUNT(c.id) AS actual
FROM targets t LEFT JOIN bi.customers c ON c.segment = t.segment
GROUP BY t.segment, t.target
ORDER BY t.segment;

-- name: generate_series_join_on_published_column
-- engines: postgres
-- ordered
SELECT g.n, COUNT(l.line_no) AS lines_with_at_least_n
FROM generate_series(1, 5) AS g(n)
LEFT JOIN bi.invoice_lines l ON l.quantity >= g.n
GROUP BY g.n ORDER BY g.n;

-- name: generate_series_join_on_published_column_duckdb
-- engines: duckdb
-- ordered
SELECT g.n, COUNT(l.line_no) AS lines_with_at_least_n
FROM generate_series(1, 5) AS g(n)
LEFT JOIN bi.invoice_lines l ON l.quantity >= g.n
GROUP BY g.n ORDER BY g.n;

-- name: generate_series_in_where_subquery
-- engines: duckdb postgres clickhouse
-- ordered
SELECT id FROM bi.invoices
WHERE EXTRACT(MONTH FROM issued_on) IN (SELECT * FROM generate_series(1, 3))
ORDER BY id;

-- name: whole_row_reference
-- engines: duckdb postgres
-- ordered
SELECT r FROM sales_reps r ORDER BY r.id;

-- name: whole_row_as_text
-- engines: duckdb postgres
-- ordered
SELECT CAST(r AS TEXT) AS row_text FROM sales_reps r ORDER BY r.id;

-- name: postgres_table_statement
-- engines: postgres
TABLE countries;

-- name: quoted_mixed_case_names_case_insensitive_engines
-- engines: sqlite duckdb
-- ordered
SELECT "Name", "Country_Code" FROM "BI"."Customers" WHERE "Active" ORDER BY "ID";

-- name: three_part_column_in_where_and_order
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT bi.invoices.id FROM bi.invoices
WHERE bi.invoices.status = 'paid' AND bi.invoices.currency = 'EUR'
ORDER BY bi.invoices.issued_on, bi.invoices.id;

-- name: same_table_unaliased_in_subquery_and_outer
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT invoices.id FROM bi.invoices
WHERE invoices.issued_on = (SELECT MAX(invoices.issued_on) FROM bi.invoices);

-- name: subquery_in_limit
-- engines: sqlite postgres clickhouse
-- ordered
SELECT id FROM bi.invoices ORDER BY id LIMIT (SELECT COUNT(*) FROM bi.customers WHERE segment = 'SMB');

-- name: subquery_in_join_condition
-- engines: sqlite duckdb postgres
-- ordered
SELECT c.id, i.id AS latest_invoice
FROM bi.customers c
JOIN bi.invoices i ON i.id = (SELECT MAX(x.id) FROM bi.invoices x WHERE x.customer_id = c.id)
ORDER BY c.id;

-- name: in_subquery_with_union
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT id, name FROM bi.customers
WHERE id IN (SELECT customer_id FROM bi.invoices WHERE status = 'void'
             UNION SELECT id FROM bi.customers WHERE NOT active)
ORDER BY id;

-- name: top_level_union_of_limited_branches
-- engines: sqlite duckdb postgres clickhouse spark
SELECT * FROM (SELECT id, 'cheap' AS kind FROM bi.products ORDER BY list_price, id LIMIT 2) a
UNION ALL
SELECT * FROM (SELECT id, 'dear' FROM bi.products ORDER BY list_price DESC, id LIMIT 2) b;

-- name: top_level_union_parenthesized_branches
-- engines: duckdb postgres clickhouse spark
(SELECT id, 'cheap' AS kind FROM bi.products ORDER BY list_price, id LIMIT 2)
UNION ALL
(SELECT id, 'dear' FROM bi.products ORDER BY list_price DESC, id LIMIT 2);

-- name: top_level_union_order_by_first_branch_alias
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT id AS k, 'invoice' AS src FROM bi.invoices WHERE status = 'void'
UNION ALL
SELECT customer_id, 'customer' FROM bi.invoices WHERE status = 'void'
ORDER BY k, src;

-- name: top_level_intersect_with_cte_and_limit
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH eu AS (SELECT code FROM countries WHERE in_eu)
SELECT country_code FROM bi.customers
INTERSECT
SELECT code FROM eu
ORDER BY 1
LIMIT 3;

-- name: recursive_cte_then_union
-- engines: sqlite duckdb postgres spark
-- ordered
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3)
SELECT i AS id FROM n
UNION
SELECT id FROM bi.products WHERE list_price < 10
ORDER BY id;

-- name: exists_over_set_operation
-- engines: sqlite duckdb postgres spark
-- ordered
SELECT c.id FROM bi.customers c
WHERE EXISTS (SELECT customer_id FROM bi.invoices WHERE customer_id = c.id AND status = 'overdue'
              INTERSECT
              SELECT customer_id FROM bi.invoices WHERE customer_id = c.id AND status IN ('paid', 'PAID'))
ORDER BY c.id;

-- name: unfiltered_lookup_only
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT region, COUNT(*) AS countries, SUM(CASE WHEN in_eu THEN 1 ELSE 0 END) AS eu
FROM countries GROUP BY region ORDER BY region;

-- name: lookup_correlated_with_filtered
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT co.code, (SELECT COUNT(*) FROM bi.customers c WHERE c.country_code = co.code) AS customers
FROM countries co ORDER BY co.code;

-- name: window_in_order_by
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT id, sku FROM bi.products ORDER BY ROW_NUMBER() OVER (ORDER BY list_price DESC, id);

-- name: distinct_order_by_selected_expression
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT DISTINCT LOWER(category) AS cat FROM bi.products WHERE category IS NOT NULL ORDER BY cat;

-- name: boolean_expression_columns
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, paid_on IS NOT NULL AS is_paid, paid_on > due_on AS was_late, status IN ('open', 'overdue') AS outstanding
FROM bi.invoices ORDER BY id;

-- name: column_named_like_internal_columns
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id AS acct_no, name AS acct_name, 7 AS acct_tenant FROM bi.customers ORDER BY acct_no;

-- name: cte_named_like_internal_table_alias
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH _internal AS (SELECT id, status FROM bi.invoices)
SELECT status, COUNT(*) FROM _internal GROUP BY status ORDER BY status;

-- name: alias_named_like_generated_alias
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT bi_customers.id, bi_customers.name FROM bi.customers AS bi_customers ORDER BY bi_customers.id;

-- name: unaliased_dotted_table_next_to_alias_of_its_generated_name
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customers.id, bi_customers.status
FROM bi.customers JOIN bi.invoices AS bi_customers ON bi_customers.customer_id = customers.id
ORDER BY bi_customers.id;

-- name: correlated_outer_alias_named_like_generated_alias
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT bi_customers.id, bi_customers.customer_id
FROM bi.invoices AS bi_customers
WHERE EXISTS (SELECT 1 FROM bi.customers WHERE customers.id = bi_customers.id)
ORDER BY bi_customers.id;

-- name: correlated_unaliased_dotted_tables_same_short_name_twice
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customers.id,
       (SELECT COUNT(*) FROM bi.customers AS peers WHERE peers.country_code = customers.country_code) AS peers
FROM bi.customers
ORDER BY customers.id;

-- name: correlated_inner_unaliased_table_outer_aliased_same_table
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT c.id,
       (SELECT COUNT(*) FROM bi.customers WHERE customers.country_code = c.country_code) AS same_country
FROM bi.customers AS c
ORDER BY c.id;

-- name: cte_named_like_generated_alias
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
WITH bi_customers AS (SELECT customer_id, COUNT(*) AS invoices FROM bi.invoices GROUP BY customer_id)
SELECT customers.id, bi_customers.invoices
FROM bi.customers JOIN bi_customers ON bi_customers.customer_id = customers.id
ORDER BY customers.id;

-- name: inner_derived_table_named_like_outer_short_name
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customers.id,
       (SELECT MAX(customers.name) FROM (SELECT name FROM bi.products) AS customers) AS max_product
FROM bi.customers
ORDER BY customers.id;

-- name: inner_cte_named_like_outer_short_name
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customers.id,
       (WITH customers AS (SELECT id FROM bi.invoices) SELECT COUNT(*) FROM customers) AS invoices
FROM bi.customers
ORDER BY customers.id;

-- name: outer_derived_named_like_inner_dotted_short_name
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT customers.id, customers.n
FROM (SELECT customer_id AS id, COUNT(*) AS n FROM bi.invoices GROUP BY customer_id) AS customers
WHERE EXISTS (SELECT 1 FROM bi.customers AS c WHERE c.id = customers.id AND c.active)
ORDER BY customers.id;

-- name: lateral_on_unaliased_dotted_table
-- engines: duckdb postgres spark
-- ordered
SELECT customers.id, x.n
FROM bi.customers,
     LATERAL (SELECT COUNT(*) AS n FROM bi.invoices WHERE invoices.customer_id = customers.id) AS x
ORDER BY customers.id;

-- name: group_by_name_shared_by_alias_and_column
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT LOWER(category) AS category, COUNT(*) AS n
FROM bi.products
GROUP BY category
ORDER BY 1, 2;

-- name: order_by_expression_over_alias_named_like_column
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT id, -list_price AS list_price FROM bi.products ORDER BY list_price + 0, id;

-- name: where_uses_select_alias
-- engines: sqlite duckdb clickhouse
-- ordered
SELECT invoice_id, line_no, quantity * unit_price AS amount
FROM bi.invoice_lines
WHERE amount > 500
ORDER BY invoice_id, line_no;

-- name: where_alias_named_like_column
-- engines: sqlite duckdb clickhouse spark
-- ordered
SELECT invoice_id, line_no, quantity * 100 AS quantity
FROM bi.invoice_lines
WHERE quantity > 10
ORDER BY invoice_id, line_no;

-- name: natural_join_two_published_tables
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT * FROM bi.invoices NATURAL JOIN bi.customers ORDER BY id;

-- name: using_join_two_published_tables_star
-- engines: sqlite duckdb postgres clickhouse spark
-- ordered
SELECT * FROM bi.products JOIN sales_reps USING (id) ORDER BY id;

-- name: count_over_natural_join_lookup
-- engines: sqlite duckdb postgres clickhouse spark
SELECT COUNT(*) AS same_names FROM bi.products NATURAL JOIN countries;
