-- SQL as dashboard and report builders generate it: every identifier quoted,
-- nested "source" subqueries, generated aliases, defensive parentheses and
-- casts, large LIMITs.

-- name: gen_quoted_count_by_status
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT "source"."status" AS "status", COUNT(*) AS "count"
FROM (SELECT "bi"."invoices"."id" AS "id", "bi"."invoices"."status" AS "status"
      FROM "bi"."invoices") AS "source"
GROUP BY "source"."status"
ORDER BY "source"."status" ASC;

-- name: gen_t0_alias_sum
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT "t0"."category" AS "category", SUM(("t1"."quantity" * "t1"."unit_price")) AS "sum:amount:ok"
FROM "bi"."invoice_lines" "t1"
  INNER JOIN "bi"."products" "t0" ON ("t1"."product_id" = "t0"."id")
GROUP BY 1
ORDER BY 1 NULLS FIRST;

-- name: gen_custom_sql_wrapper
-- engines: sqlite duckdb postgres clickhouse
SELECT "Custom SQL Query"."customer_id" AS "customer_id",
  SUM(1) AS "Number of Records"
FROM (
  SELECT i.customer_id, i.status FROM bi.invoices i WHERE i.status <> 'void'
) "Custom SQL Query"
GROUP BY 1;

-- name: gen_defensive_parentheses
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT "t0"."id" AS "id"
FROM "bi"."customers" "t0"
WHERE ((("t0"."active") = TRUE) AND (NOT ("t0"."email" IS NULL)) AND (1 = 1))
ORDER BY "t0"."id" ASC
LIMIT 2000;

-- name: gen_spaces_in_aliases
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT "c"."name" AS "Customer Name", COUNT("i"."id") AS "Invoice Count"
FROM "bi"."customers" AS "c"
LEFT OUTER JOIN "bi"."invoices" AS "i" ON "i"."customer_id" = "c"."id"
GROUP BY "c"."name"
ORDER BY "Invoice Count" DESC, "Customer Name" ASC;

-- name: gen_capitalised_quoted_alias
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT "Invoices"."id", "Invoices"."currency"
FROM "bi"."invoices" AS "Invoices"
WHERE "Invoices"."currency" IN ('USD', 'GBP', 'SEK')
ORDER BY "Invoices"."id";

-- name: gen_total_count_wrapper
-- engines: sqlite duckdb postgres clickhouse
SELECT COUNT(*) AS "count" FROM (
  SELECT "bi"."invoice_lines"."invoice_id" FROM "bi"."invoice_lines"
  WHERE "bi"."invoice_lines"."quantity" > 1
) AS "t";

-- name: gen_distinct_values_for_filter_widget
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT DISTINCT "segment" FROM "bi"."customers" WHERE "segment" IS NOT NULL ORDER BY "segment" ASC LIMIT 1000;

-- name: gen_case_bucket_sum
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT "source"."band" AS "band", SUM("source"."net") AS "sum"
FROM (
  SELECT CASE WHEN "l"."quantity" >= 20 THEN 'bulk' WHEN "l"."quantity" >= 5 THEN 'pack' ELSE 'single' END AS "band",
         ("l"."quantity" * "l"."unit_price" * (1 - COALESCE("l"."discount", 0))) AS "net"
  FROM "bi"."invoice_lines" "l"
) "source"
GROUP BY "source"."band"
ORDER BY "source"."band" ASC;

-- name: gen_cast_count_bigint
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT "country_code", CAST(COUNT(*) AS BIGINT) AS "n", COALESCE(SUM("credit_limit"), 0) AS "credit"
FROM "bi"."customers"
GROUP BY "country_code"
ORDER BY "country_code" NULLS LAST;

-- name: gen_having_count_one
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT "t0"."product_id" AS "product_id"
FROM "bi"."invoice_lines" "t0"
GROUP BY "t0"."product_id"
HAVING (COUNT(1) > 2)
ORDER BY 1;

-- name: gen_month_bucket_postgres
-- engines: postgres
-- ordered
SELECT DATE_TRUNC('month', CAST("source"."issued_on" AS timestamp)) AS "issued_on",
       COUNT(*) AS "count"
FROM (SELECT "bi"."invoices"."issued_on" AS "issued_on" FROM "bi"."invoices") "source"
GROUP BY DATE_TRUNC('month', CAST("source"."issued_on" AS timestamp))
ORDER BY DATE_TRUNC('month', CAST("source"."issued_on" AS timestamp)) ASC;

-- name: gen_month_bucket_duckdb
-- engines: duckdb
-- ordered
SELECT DATE_TRUNC('month', CAST("source"."issued_on" AS TIMESTAMP)) AS "issued_on",
       COUNT(*) AS "count"
FROM (SELECT "bi"."invoices"."issued_on" AS "issued_on" FROM "bi"."invoices") "source"
GROUP BY DATE_TRUNC('month', CAST("source"."issued_on" AS TIMESTAMP))
ORDER BY 1 ASC;

-- name: gen_month_bucket_sqlite
-- engines: sqlite
-- ordered
SELECT date("source"."issued_on", 'start of month') AS "issued_on", COUNT(*) AS "count"
FROM (SELECT "bi"."invoices"."issued_on" AS "issued_on" FROM "bi"."invoices") "source"
GROUP BY date("source"."issued_on", 'start of month')
ORDER BY date("source"."issued_on", 'start of month') ASC;

-- name: gen_week_bucket_postgres
-- engines: postgres
-- ordered
SELECT (CAST(DATE_TRUNC('week', ("bi"."invoices"."issued_on" + INTERVAL '1 day')) AS timestamp) + (INTERVAL '-1 day')) AS "issued_on",
       COUNT(*) AS "count"
FROM "bi"."invoices"
GROUP BY 1
ORDER BY 1 ASC;

-- name: gen_year_filter_between_timestamps
-- engines: duckdb postgres clickhouse
-- ordered
SELECT "bi"."invoices"."id" AS "id"
FROM "bi"."invoices"
WHERE ("bi"."invoices"."issued_on" >= CAST('2024-01-01 00:00:00' AS TIMESTAMP)
   AND "bi"."invoices"."issued_on" < CAST('2025-01-01 00:00:00' AS TIMESTAMP))
ORDER BY "bi"."invoices"."id" ASC;

-- name: gen_joined_lookup_pivot_like
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT "co"."region" AS "region",
       SUM(CASE WHEN "c"."segment" = 'SMB' THEN 1 ELSE 0 END) AS "SMB",
       SUM(CASE WHEN "c"."segment" = 'Enterprise' THEN 1 ELSE 0 END) AS "Enterprise",
       SUM(CASE WHEN "c"."segment" IS NULL THEN 1 ELSE 0 END) AS "(null)"
FROM "bi"."customers" "c"
LEFT JOIN "countries" "co" ON "co"."code" = "c"."country_code"
GROUP BY "co"."region"
ORDER BY "co"."region" NULLS LAST;

-- name: gen_nested_three_levels
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT "q2"."customer_id", "q2"."revenue"
FROM (
  SELECT "q1"."customer_id", SUM("q1"."amount") AS "revenue"
  FROM (
    SELECT "i"."customer_id", ("l"."quantity" * "l"."unit_price") AS "amount"
    FROM "bi"."invoices" "i" JOIN "bi"."invoice_lines" "l" ON "l"."invoice_id" = "i"."id"
  ) "q1"
  GROUP BY "q1"."customer_id"
) "q2"
WHERE "q2"."revenue" > 100
ORDER BY "q2"."revenue" DESC, "q2"."customer_id" ASC
LIMIT 1048575;

-- name: gen_cte_prefixed_names
-- engines: sqlite duckdb postgres clickhouse
-- ordered
WITH "__cte__lines" AS (SELECT "invoice_id", "quantity" FROM "bi"."invoice_lines"),
     "__cte_invoices" AS (SELECT "id", "status" FROM "bi"."invoices")
SELECT "__cte_invoices"."status", SUM("__cte__lines"."quantity") AS "units"
FROM "__cte_invoices" JOIN "__cte__lines" ON "__cte__lines"."invoice_id" = "__cte_invoices"."id"
GROUP BY "__cte_invoices"."status"
ORDER BY "__cte_invoices"."status";

-- name: gen_row_number_pagination
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT "id", "name" FROM (
  SELECT "id", "name", ROW_NUMBER() OVER (ORDER BY "name" ASC, "id" ASC) AS "__rn"
  FROM "bi"."customers"
) AS "__paged"
WHERE "__rn" > 4 AND "__rn" <= 8
ORDER BY "__rn";

-- name: gen_is_not_distinct_join
-- engines: sqlite duckdb postgres clickhouse
-- ordered
SELECT "a"."id", "b"."id" AS "same_segment_id"
FROM "bi"."customers" "a" JOIN "bi"."customers" "b"
  ON "a"."segment" IS NOT DISTINCT FROM "b"."segment" AND "a"."id" < "b"."id"
ORDER BY 1, 2;

-- name: gen_select_star_from_published_with_limit
-- engines: sqlite duckdb postgres clickhouse
SELECT * FROM "bi"."invoice_lines" LIMIT 100000;

-- name: gen_count_distinct_with_case_null
-- engines: sqlite duckdb postgres clickhouse
SELECT COUNT(DISTINCT CASE WHEN "status" IN ('paid', 'PAID') THEN "customer_id" ELSE NULL END) AS "paying_customers",
       COUNT(DISTINCT "customer_id") AS "customers"
FROM "bi"."invoices";
