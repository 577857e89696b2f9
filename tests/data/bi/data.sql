-- The internal tables, in the portable SQL that SQLite, DuckDB and PostgreSQL all run.
-- Two tenants share them: 7, an office-supply wholesaler, and 12, an outdoor-gear maker.
-- Ids repeat between tenants, as each tenant's application numbers its own rows.
-- A line holds a region's countries, a category's items or an invoice's lines.

INSERT INTO ref_ctry VALUES
  ('DE', 'Germany', 'Europe', TRUE), ('FR', 'France', 'Europe', TRUE), ('AT', 'Austria', 'Europe', TRUE), ('NL', 'Netherlands', 'Europe', TRUE), ('ES', 'Spain', 'Europe', TRUE), ('SE', 'Sweden', 'Europe', TRUE),
  ('CH', 'Switzerland', 'Europe', FALSE), ('GB', 'United Kingdom', 'Europe', FALSE), ('NO', 'Norway', 'Europe', FALSE),
  ('US', 'United States', 'Americas', FALSE), ('CA', 'Canada', 'Americas', FALSE),
  ('JP', 'Japan', 'Asia', FALSE),
  ('BR', 'Brazil', 'Americas', FALSE);

INSERT INTO hr_staff VALUES
  (7, 1, 'Greta Sommer', NULL, 'DACH', '2019-03-01', 500000.00),
  (7, 2, 'Jonas Weber', 1, 'DACH', '2020-06-15', 120000.00),
  (7, 3, 'Claire Dubois', 1, 'West', '2021-01-10', 100000.00),
  (7, 4, 'Pieter de Vries', 3, 'West', '2022-09-01', 80000.00),
  (7, 5, 'Lena Fischer', 2, 'DACH', '2023-02-20', 60000.00),
  (7, 6, 'marc LEROY', 3, 'West', '2024-04-01', NULL);

INSERT INTO crm_account VALUES
  (7, 1, 'Acme Bürobedarf GmbH', 'einkauf@acme-buero.de', 'DE', 'Enterprise', '2021-02-14', TRUE, 2, 50000.00),
  (7, 2, 'papeterie lumière', 'contact@lumiere.fr', 'FR', 'SMB', '2021-05-03', TRUE, 3, 8000.00),
  (7, 3, 'Kanzlei Huber & Partner', NULL, 'AT', 'SMB', '2021-09-20', TRUE, 5, 12000.00),
  (7, 4, 'Delta Logistics B.V.', 'AP@DeltaLog.nl', 'NL', 'Mid-Market', '2022-01-11', TRUE, 4, 25000.00),
  (7, 5, 'STADTWERKE NORD', 'rechnung@stadtwerke-nord.de', 'DE', 'Public', '2022-03-30', TRUE, 2, 100000.00),
  (7, 6, 'Café Central', 'hello@cafecentral.at', 'AT', NULL, '2022-07-07', FALSE, 5, NULL),
  (7, 7, 'Müller & Söhne KG', 'info@mueller-soehne.de', 'DE', 'SMB', '2022-11-02', TRUE, NULL, 5000.00),
  (7, 8, 'atelier nord', NULL, 'FR', 'SMB', '2023-02-18', TRUE, 6, 3000.00),
  (7, 9, 'Bright Future School', 'office@brightfuture.es', 'ES', 'Public', '2023-06-01', TRUE, 3, 15000.00),
  (7, 10, 'Orbit Ventures', 'finance@orbit.vc', NULL, 'Enterprise', '2023-10-15', TRUE, 1, 75000.00),
  (7, 11, 'o''Brien Consulting', 'Mail@OBrien.ie', 'IE', 'SMB', '2024-01-08', FALSE, 4, 2000.00),
  (7, 12, 'Nordlicht Design', 'studio@nordlicht.de', 'DE', 'Mid-Market', '2024-05-21', TRUE, 2, 20000.00);

INSERT INTO erp_item VALUES
  (7, 1, 'PAP-A4-500', 'Copy paper A4, 500 sheets', 'Paper', 4.99, '2019-01-01', FALSE), (7, 2, 'PAP-A3-250', 'Copy paper A3, 250 sheets', 'Paper', 7.49, '2019-01-01', FALSE),
  (7, 3, 'PEN-BLU-10', 'Ballpoint pens, blue (10)', 'Writing', 3.20, '2019-06-01', FALSE), (7, 4, 'PEN-GEL-12', 'Gel pens, assorted (12)', 'Writing', 6.80, '2021-03-15', FALSE),
  (7, 5, 'FLD-LVR-A4', 'Lever arch file A4', 'Filing', 2.95, '2019-01-01', FALSE), (7, 6, 'FLD-HNG-25', 'Hanging folders (25)', 'Filing', 11.50, '2020-09-01', TRUE),
  (7, 7, 'DSK-LAMP-LED', 'LED desk lamp', 'Furniture', 39.90, '2022-02-01', FALSE), (7, 8, 'DSK-CHAIR-ERG', 'Ergonomic chair', 'Furniture', 249.00, '2022-05-10', FALSE),
  (7, 9, 'INK-TNR-BLK', 'Toner cartridge, black', 'Printing', 59.00, '2020-01-20', FALSE), (7, 10, 'INK-TNR-CLR', 'Toner cartridge, colour', 'printing', 89.00, '2020-01-20', TRUE);

INSERT INTO erp_inv_hdr VALUES
  (7, 1, 5, '2023-02-14', '2023-04-15', NULL, 'overdue', 'EUR', 'PO 4711'),
  (7, 2, 1, '2023-03-26', '2023-04-25', '2023-04-11', 'paid', 'EUR', NULL),
  (7, 3, 5, '2023-04-23', '2023-06-22', NULL, 'void', 'EUR', NULL),
  (7, 4, 4, '2023-05-17', '2023-07-16', '2023-07-08', 'paid', 'EUR', 'po-2024-118'),
  (7, 5, 4, '2023-06-24', '2023-07-08', NULL, 'void', 'EUR', NULL),
  (7, 6, 8, '2023-07-19', '2023-09-17', NULL, 'overdue', 'USD', NULL),
  (7, 7, 8, '2023-08-21', '2023-10-20', NULL, 'void', 'EUR', NULL),
  (7, 8, 7, '2023-09-10', '2023-11-09', '2023-09-27', 'paid', 'EUR', NULL),
  (7, 9, 6, '2023-09-25', '2023-11-24', NULL, 'overdue', 'USD', NULL),
  (7, 10, 1, '2023-10-10', '2023-10-24', NULL, 'overdue', 'EUR', NULL),
  (7, 11, 2, '2023-11-07', '2023-12-07', '2023-11-27', 'paid', 'EUR', NULL),
  (7, 12, 3, '2023-12-16', '2024-01-15', NULL, 'void', 'USD', 'Net 60 agreed'),
  (7, 13, 1, '2024-01-04', '2024-03-04', '2024-01-25', 'paid', 'EUR', NULL),
  (7, 14, 7, '2024-02-01', '2024-03-02', '2024-03-03', 'paid', 'EUR', 'PO 4711'),
  (7, 15, 6, '2024-02-25', '2024-03-26', '2024-03-21', 'paid', 'EUR', NULL),
  (7, 16, 11, '2024-03-31', '2024-04-30', '2024-05-10', 'paid', 'EUR', 'Rush order'),
  (7, 17, 9, '2024-04-26', '2024-05-26', '2024-05-26', 'PAID', 'EUR', NULL),
  (7, 18, 4, '2024-05-30', '2024-06-13', '2024-06-21', 'paid', 'EUR', NULL),
  (7, 19, 10, '2024-06-10', '2024-07-10', '2024-07-10', 'PAID', 'USD', NULL),
  (7, 20, 8, '2024-07-11', '2024-09-09', NULL, 'overdue', 'EUR', 'Deliver to back entrance'),
  (7, 21, 11, '2024-08-08', '2024-08-22', '2024-08-11', 'paid', 'EUR', NULL),
  (7, 22, 5, '2024-09-08', '2024-11-07', '2024-10-02', 'paid', 'EUR', NULL),
  (7, 23, 5, '2024-10-17', '2024-12-16', '2024-11-14', 'paid', 'EUR', NULL),
  (7, 24, 8, '2024-11-17', '2024-12-01', NULL, 'open', 'EUR', NULL),
  (7, 25, 8, '2024-11-28', '2024-12-28', '2025-01-07', 'PAID', 'EUR', NULL),
  (7, 26, 2, '2025-01-04', '2025-02-03', NULL, 'open', 'EUR', NULL);

INSERT INTO erp_inv_ln VALUES
  (7, 1, 1, 3, 2, 3.20, NULL), (7, 1, 2, 7, 20, 35.91, 0.10),
  (7, 2, 1, 8, 2, 249.00, NULL),
  (7, 3, 1, 9, 50, 59.00, 0.15), (7, 3, 2, 2, 20, 6.74, NULL), (7, 3, 3, 8, 10, 249.00, 0.00), (7, 3, 4, 5, 50, 2.95, 0.10),
  (7, 4, 1, 7, 10, 35.91, NULL),
  (7, 5, 1, 8, 50, 224.10, NULL), (7, 5, 2, 4, 1, 6.80, 0.00), (7, 5, 3, 10, 50, 89.00, 0.10), (7, 5, 4, 7, 2, 35.91, 0.05),
  (7, 6, 1, 9, 3, 53.10, NULL), (7, 6, 2, 2, 2, 7.49, 0.05),
  (7, 7, 1, 1, 1, 4.99, NULL), (7, 7, 2, 8, 12, 249.00, NULL), (7, 7, 3, 5, 3, 2.95, NULL),
  (7, 8, 1, 3, 10, 3.20, 0.05), (7, 8, 2, 10, 3, 89.00, NULL), (7, 8, 3, 1, 5, 4.99, NULL),
  (7, 9, 1, 4, 2, 6.80, NULL), (7, 9, 2, 9, 50, 59.00, 0.15), (7, 9, 3, 1, 3, 4.49, 0.15),
  (7, 10, 1, 3, 12, 3.20, NULL), (7, 10, 2, 5, 50, 2.66, 0.05), (7, 10, 3, 8, 2, 249.00, NULL), (7, 10, 4, 4, 1, 6.80, NULL),
  (7, 11, 1, 1, 12, 4.99, 0.10), (7, 11, 2, 10, 1, 89.00, NULL), (7, 11, 3, 7, 2, 35.91, 0.10),
  (7, 12, 1, 7, 20, 39.90, NULL), (7, 12, 2, 10, 12, 89.00, NULL),
  (7, 14, 1, 10, 5, 89.00, 0.05), (7, 14, 2, 8, 20, 249.00, NULL),
  (7, 15, 1, 2, 2, 7.49, 0.05), (7, 15, 2, 9, 1, 59.00, NULL), (7, 15, 3, 10, 3, 89.00, 0.00),
  (7, 16, 1, 4, 5, 6.12, NULL), (7, 16, 2, 5, 12, 2.95, NULL),
  (7, 17, 1, 2, 12, 7.49, 0.10), (7, 17, 2, 10, 3, 89.00, 0.10), (7, 17, 3, 9, 20, 59.00, 0.05),
  (7, 18, 1, 7, 5, 39.90, 0.10), (7, 18, 2, 10, 1, 89.00, NULL), (7, 18, 3, 9, 1, 59.00, 0.05), (7, 18, 4, 2, 12, 7.49, 0.00),
  (7, 19, 1, 7, 50, 35.91, NULL),
  (7, 20, 1, 4, 5, 6.12, NULL),
  (7, 21, 1, 10, 5, 89.00, NULL), (7, 21, 2, 4, 1, 6.80, NULL),
  (7, 22, 1, 8, 1, 249.00, 0.15), (7, 22, 2, 9, 50, 59.00, NULL), (7, 22, 3, 1, 1, 4.99, 0.10), (7, 22, 4, 5, 5, 2.95, 0.10),
  (7, 23, 1, 2, 2, 7.49, 0.00),
  (7, 24, 1, 9, 10, 59.00, NULL),
  (7, 25, 1, 2, 20, 7.49, NULL),
  (7, 26, 1, 1, 1, 4.99, 0.05), (7, 26, 2, 7, 50, 39.90, NULL), (7, 26, 3, 3, 1, 3.20, 0.10);

INSERT INTO hr_staff VALUES
  (12, 1, 'Anna Keller', NULL, 'Alps', '2018-05-01', 400000.00),
  (12, 2, 'Tom Baker', 1, 'UK', '2019-11-11', 150000.00),
  (12, 3, 'Sofia Lind', 1, 'Nordics', '2021-03-03', 90000.00),
  (12, 4, 'jake o''Connor', 2, 'UK', '2022-07-07', 70000.00),
  (12, 5, 'Ueli Brunner', 1, 'Alps', '2024-01-15', NULL);

INSERT INTO crm_account VALUES
  (12, 1, 'Summit Gear AG', 'orders@summitgear.ch', 'CH', 'Enterprise', '2020-04-01', TRUE, 1, 80000.00),
  (12, 2, 'Trailhead Outdoors Ltd', 'accounts@trailhead.co.uk', 'GB', 'Mid-Market', '2020-08-19', TRUE, 2, 30000.00),
  (12, 3, 'Fjordline Sport AB', 'INFO@FJORDLINE.SE', 'SE', 'SMB', '2021-01-25', TRUE, 3, 10000.00),
  (12, 4, 'Rocky Ridge Supply Co', 'ap@rockyridge.com', 'US', 'Enterprise', '2021-06-30', TRUE, 2, 60000.00),
  (12, 5, 'bergsport meier', NULL, 'CH', 'SMB', '2021-12-12', TRUE, 5, 4000.00),
  (12, 6, 'Northern Lights Tours', 'book@nlt.no', 'NO', 'SMB', '2022-02-02', FALSE, 3, NULL),
  (12, 7, 'Great Lakes Paddle', 'Sales@GreatLakesPaddle.ca', 'CA', NULL, '2022-09-09', TRUE, 4, 12000.00),
  (12, 8, 'Alpenverein Sektion Zürich', 'kasse@av-zh.ch', 'CH', 'Public', '2023-03-14', TRUE, 1, 25000.00),
  (12, 9, 'Tokyo Trail Works', 'info@ttw.jp', 'JP', 'Mid-Market', '2023-08-08', TRUE, NULL, 15000.00),
  (12, 10, 'Peak Performance Labs', NULL, 'US', 'Enterprise', '2024-02-29', TRUE, 2, 90000.00);

INSERT INTO erp_item VALUES
  (12, 1, 'TNT-2P', 'Dome tent, 2 person', 'Tents', 189.00, '2019-03-01', FALSE), (12, 2, 'TNT-4P', 'Tunnel tent, 4 person', 'Tents', 329.00, '2020-03-01', FALSE),
  (12, 3, 'SLB-3S', 'Sleeping bag, 3 season', 'Sleeping', 119.50, '2019-09-01', FALSE), (12, 4, 'SLB-WIN', 'Sleeping bag, winter', 'Sleeping', 229.00, '2021-10-01', FALSE),
  (12, 5, 'BPK-35', 'Daypack 35 l', 'Packs', 89.90, '2020-02-15', FALSE), (12, 6, 'BPK-65', 'Trekking pack 65 l', 'Packs', 199.00, '2020-02-15', FALSE),
  (12, 7, 'STV-GAS', 'Gas stove', 'Cooking', 49.00, '2018-05-01', TRUE), (12, 8, 'STV-MULTI', 'Multi-fuel stove', 'Cooking', 139.00, '2022-04-01', FALSE),
  (12, 9, 'LMP-HEAD', 'Head lamp 400 lm', NULL, 34.95, '2023-01-10', FALSE);

INSERT INTO erp_inv_hdr VALUES
  (12, 1, 3, '2023-02-28', '2023-03-14', '2023-03-14', 'PAID', 'CHF', NULL),
  (12, 2, 2, '2023-03-14', '2023-05-13', '2023-05-06', 'paid', 'USD', NULL),
  (12, 3, 3, '2023-03-31', '2023-04-30', '2023-05-14', 'paid', 'EUR', 'Deliver to back entrance'),
  (12, 4, 5, '2023-04-15', '2023-05-15', '2023-05-25', 'paid', 'USD', NULL),
  (12, 5, 1, '2023-05-13', '2023-05-27', '2023-06-16', 'paid', 'USD', 'Deliver to back entrance'),
  (12, 6, 2, '2023-06-05', '2023-07-05', '2023-07-23', 'PAID', 'CHF', NULL),
  (12, 7, 3, '2023-07-14', '2023-08-13', NULL, 'overdue', 'USD', ''),
  (12, 8, 5, '2023-07-31', '2023-09-29', '2023-09-22', 'paid', 'USD', 'Deliver to back entrance'),
  (12, 9, 1, '2023-08-24', '2023-09-23', '2023-09-08', 'paid', 'EUR', NULL),
  (12, 10, 4, '2023-09-08', '2023-10-08', '2023-10-24', 'PAID', 'EUR', 'PO 4711'),
  (12, 11, 3, '2023-10-07', '2023-11-06', NULL, 'overdue', 'CHF', NULL),
  (12, 12, 5, '2023-11-12', '2024-01-11', '2024-01-18', 'paid', 'GBP', ''),
  (12, 13, 4, '2023-12-09', '2024-02-07', '2024-01-05', 'paid', 'CHF', 'Rush order'),
  (12, 14, 7, '2024-01-03', '2024-02-02', '2024-02-10', 'paid', 'CHF', NULL),
  (12, 15, 2, '2024-01-27', '2024-03-27', '2024-04-05', 'paid', 'CHF', 'PO 4711'),
  (12, 16, 2, '2024-03-04', '2024-04-03', NULL, 'void', 'CHF', NULL),
  (12, 17, 8, '2024-04-02', '2024-06-01', '2024-05-31', 'paid', 'EUR', 'Deliver to back entrance'),
  (12, 18, 1, '2024-04-22', '2024-05-22', '2024-06-04', 'paid', 'USD', NULL),
  (12, 19, 9, '2024-05-08', '2024-07-07', '2024-06-10', 'PAID', 'USD', 'Rush order'),
  (12, 20, 3, '2024-05-29', '2024-06-12', '2024-06-04', 'paid', 'CHF', NULL),
  (12, 21, 9, '2024-06-30', '2024-07-14', '2024-07-29', 'paid', 'CHF', 'PO 4711');

INSERT INTO erp_inv_ln VALUES
  (12, 1, 1, 9, 2, 34.95, 0.00),
  (12, 2, 1, 5, 2, 89.90, 0.05), (12, 2, 2, 4, 2, 229.00, NULL),
  (12, 3, 1, 8, 3, 139.00, 0.05), (12, 3, 2, 3, 2, 107.55, 0.15), (12, 3, 3, 2, 2, 296.10, 0.00), (12, 3, 4, 4, 6, 229.00, NULL),
  (12, 4, 1, 9, 1, 34.95, NULL), (12, 4, 2, 8, 10, 125.10, NULL), (12, 4, 3, 1, 6, 189.00, 0.05), (12, 4, 4, 5, 2, 89.90, 0.10),
  (12, 5, 1, 4, 2, 206.10, NULL), (12, 5, 2, 5, 1, 89.90, NULL),
  (12, 6, 1, 9, 3, 34.95, 0.10),
  (12, 7, 1, 1, 4, 189.00, NULL),
  (12, 8, 1, 4, 6, 229.00, 0.00), (12, 8, 2, 8, 6, 139.00, NULL), (12, 8, 3, 1, 2, 189.00, 0.00),
  (12, 9, 1, 2, 1, 329.00, 0.05), (12, 9, 2, 1, 3, 189.00, NULL),
  (12, 10, 1, 9, 6, 34.95, 0.15), (12, 10, 2, 2, 1, 329.00, NULL), (12, 10, 3, 5, 1, 80.91, NULL), (12, 10, 4, 1, 2, 189.00, 0.10),
  (12, 11, 1, 1, 4, 189.00, 0.00), (12, 11, 2, 2, 6, 329.00, NULL),
  (12, 12, 1, 2, 10, 329.00, NULL), (12, 12, 2, 4, 1, 229.00, 0.00), (12, 12, 3, 9, 2, 34.95, NULL), (12, 12, 4, 3, 1, 107.55, NULL),
  (12, 13, 1, 8, 1, 139.00, 0.05), (12, 13, 2, 5, 3, 89.90, 0.15),
  (12, 14, 1, 5, 3, 89.90, NULL), (12, 14, 2, 9, 3, 31.46, NULL), (12, 14, 3, 8, 10, 139.00, NULL),
  (12, 15, 1, 4, 6, 229.00, NULL), (12, 15, 2, 9, 3, 34.95, 0.05),
  (12, 16, 1, 1, 3, 189.00, NULL), (12, 16, 2, 9, 3, 34.95, NULL),
  (12, 18, 1, 8, 3, 139.00, NULL),
  (12, 19, 1, 5, 1, 89.90, 0.10), (12, 19, 2, 9, 6, 34.95, NULL), (12, 19, 3, 1, 2, 189.00, NULL),
  (12, 20, 1, 2, 4, 296.10, 0.10),
  (12, 21, 1, 8, 2, 125.10, NULL), (12, 21, 2, 6, 2, 199.00, 0.10);

