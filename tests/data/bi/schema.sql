-- The internal tables the catalogue maps to, in SQL that SQLite, DuckDB and
-- PostgreSQL all run.  Each tenant's rows carry its id in the first column.

CREATE TABLE ref_ctry (
  ctry_iso TEXT,
  ctry_label TEXT,
  ctry_region TEXT,
  ctry_eu BOOLEAN
);

CREATE TABLE hr_staff (
  st_tenant INTEGER,
  st_no INTEGER,
  st_name TEXT,
  st_boss INTEGER,
  st_region TEXT,
  st_hired DATE,
  st_quota DECIMAL(12,2)
);

CREATE TABLE crm_account (
  acct_tenant INTEGER,
  acct_no INTEGER,
  acct_name TEXT,
  acct_email TEXT,
  acct_country TEXT,
  acct_segment TEXT,
  acct_since DATE,
  acct_active BOOLEAN,
  acct_rep INTEGER,
  acct_credit DECIMAL(12,2)
);

CREATE TABLE erp_item (
  item_tenant INTEGER,
  item_no INTEGER,
  item_sku TEXT,
  item_label TEXT,
  item_family TEXT,
  item_price DECIMAL(10,2),
  item_launch DATE,
  item_retired BOOLEAN
);

CREATE TABLE erp_inv_hdr (
  hdr_tenant INTEGER,
  hdr_no INTEGER,
  hdr_acct INTEGER,
  hdr_issued DATE,
  hdr_due DATE,
  hdr_paid DATE,
  hdr_state TEXT,
  hdr_ccy TEXT,
  hdr_note TEXT
);

CREATE TABLE erp_inv_ln (
  ln_tenant INTEGER,
  ln_hdr INTEGER,
  ln_seq INTEGER,
  ln_item INTEGER,
  ln_qty INTEGER,
  ln_price DECIMAL(10,2),
  ln_disc DECIMAL(4,2)
);
