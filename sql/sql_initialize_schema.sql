-- Receipt tables and the insert procedures of the biller.
--
-- Run as one multi-statement text at every start (or exported for a database
-- administrator), so every statement here must be safe to repeat: tables are
-- created only when missing and are never dropped; procedures are replaced.
--
-- Each procedure records one receipt and answers one row whose first column
-- is 0 when the receipt is new and 1 when it was already recorded. A UNIQUE
-- key of the table on the purchase identity of the store decides: the insert
-- itself detects the duplicate, so concurrent calls for one purchase give
-- exactly one 0. Identities are kept as a SHA-256 of their exact bytes,
-- which makes them case- and length-exact whatever the collation.
--
-- The character-set placeholder in brackets is replaced by the value of the
-- mysql_db_character_set option (utf8mb4 when it says utf8). Text parameters
-- name it too: without it they would take the default character set of the
-- database and could mangle text on its way to the table. (No quote characters in these comments: the
-- exported script is read by the command-line client, which tracks quotes.)

-- The SHA-256 of the script applied last (one row, written by the biller
-- after the script succeeds): a start whose script has that digest skips the
-- script, so that starting a biller runs no DDL on a current schema.
CREATE TABLE IF NOT EXISTS tb_biller_schema_script (
  id TINYINT UNSIGNED NOT NULL PRIMARY KEY,
  script_sha256 CHAR(64) NOT NULL,
  applied_at_utc DATETIME(6) NOT NULL
) ENGINE=InnoDB;

CREATE TABLE IF NOT EXISTS tb_receipt_google_play_v3 (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
  biller_client_id VARCHAR(255) NOT NULL,
  player_id VARCHAR(255) NOT NULL,
  player_service_provider VARCHAR(255) NOT NULL,
  package_name VARCHAR(255) NOT NULL,
  product_id VARCHAR(255) NOT NULL,
  purchase_token TEXT NOT NULL,
  kind VARCHAR(255) NOT NULL,
  purchase_time_millis VARCHAR(64) NOT NULL,
  purchase_time_zone VARCHAR(64) NOT NULL,
  purchase_state INT NOT NULL,
  consumption_state INT NOT NULL,
  order_id VARCHAR(255) NOT NULL,
  acknowledgement_state INT NULL,
  purchase_type INT NULL,
  developer_payload TEXT NOT NULL,
  recorded_at_utc DATETIME(6) NOT NULL,
  purchase_token_sha256 BINARY(32) AS (UNHEX(SHA2(purchase_token, 256))) STORED,
  PRIMARY KEY (id),
  UNIQUE KEY uk_purchase_token (purchase_token_sha256),
  KEY ix_player (player_id, player_service_provider)
) ENGINE=InnoDB DEFAULT CHARSET=[CHARACTER_SET];

CREATE TABLE IF NOT EXISTS tb_receipt_apple_appstore2 (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
  biller_client_id VARCHAR(255) NOT NULL,
  player_id VARCHAR(255) NOT NULL,
  player_service_provider VARCHAR(255) NOT NULL,
  is_sandbox BOOLEAN NOT NULL,
  receipt_data MEDIUMTEXT NOT NULL,
  product_id VARCHAR(255) NOT NULL,
  quantity BIGINT NOT NULL,
  transaction_id VARCHAR(255) NOT NULL,
  original_transaction_id VARCHAR(255) NOT NULL,
  purchase_date VARCHAR(64) NOT NULL,
  purchase_date_time_zone VARCHAR(64) NOT NULL,
  original_purchase_date VARCHAR(64) NOT NULL,
  original_purchase_date_time_zone VARCHAR(64) NOT NULL,
  recorded_at_utc DATETIME(6) NOT NULL,
  transaction_id_sha256 BINARY(32) AS (UNHEX(SHA2(transaction_id, 256))) STORED,
  PRIMARY KEY (id),
  UNIQUE KEY uk_transaction_id (transaction_id_sha256),
  KEY ix_player (player_id, player_service_provider)
) ENGINE=InnoDB DEFAULT CHARSET=[CHARACTER_SET];

CREATE TABLE IF NOT EXISTS tb_receipt_tstore (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
  biller_client_id VARCHAR(255) NOT NULL,
  player_id VARCHAR(255) NOT NULL,
  player_service_provider VARCHAR(255) NOT NULL,
  is_test BOOLEAN NOT NULL,
  txid VARCHAR(255) NOT NULL,
  appid VARCHAR(255) NOT NULL,
  signdata MEDIUMTEXT NOT NULL,
  requested_product_ids TEXT NOT NULL,
  verified_product_ids TEXT NOT NULL,
  recorded_at_utc DATETIME(6) NOT NULL,
  txid_sha256 BINARY(32) AS (UNHEX(SHA2(txid, 256))) STORED,
  PRIMARY KEY (id),
  UNIQUE KEY uk_txid (txid_sha256),
  KEY ix_player (player_id, player_service_provider)
) ENGINE=InnoDB DEFAULT CHARSET=[CHARACTER_SET];

CREATE TABLE IF NOT EXISTS tb_receipt_p4store (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
  biller_client_id VARCHAR(255) NOT NULL,
  player_id VARCHAR(255) NOT NULL,
  player_service_provider VARCHAR(255) NOT NULL,
  service_label BIGINT NOT NULL,
  entitlement_id VARCHAR(255) NOT NULL,
  auth_code TEXT NOT NULL,
  environment VARCHAR(64) NOT NULL,
  use_count BIGINT NOT NULL,
  use_limit BIGINT NOT NULL,
  requested_use_count BIGINT NOT NULL,
  recorded_at_utc DATETIME(6) NOT NULL,
  -- The length of the entitlement id first, so that no two (id, code) pairs
  -- give the same text.
  entitlement_sha256 BINARY(32)
    AS (UNHEX(SHA2(CONCAT(LENGTH(entitlement_id), ':', entitlement_id, auth_code), 256)))
    STORED,
  PRIMARY KEY (id),
  UNIQUE KEY uk_entitlement (entitlement_sha256),
  KEY ix_player (player_id, player_service_provider)
) ENGINE=InnoDB DEFAULT CHARSET=[CHARACTER_SET];

CREATE TABLE IF NOT EXISTS tb_receipt_one_store (
  id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
  biller_client_id VARCHAR(255) NOT NULL,
  player_id VARCHAR(255) NOT NULL,
  player_service_provider VARCHAR(255) NOT NULL,
  is_test BOOLEAN NOT NULL,
  purchase_id VARCHAR(255) NOT NULL,
  package_name VARCHAR(255) NOT NULL,
  product_id VARCHAR(255) NOT NULL,
  consumption_state INT NOT NULL,
  purchase_state INT NOT NULL,
  purchase_time BIGINT NOT NULL,
  developer_payload TEXT NOT NULL,
  recorded_at_utc DATETIME(6) NOT NULL,
  purchase_id_sha256 BINARY(32) AS (UNHEX(SHA2(purchase_id, 256))) STORED,
  PRIMARY KEY (id),
  UNIQUE KEY uk_purchase_id (purchase_id_sha256),
  KEY ix_player (player_id, player_service_provider)
) ENGINE=InnoDB DEFAULT CHARSET=[CHARACTER_SET];

-- Tables made while the three-byte utf8mb3 was in use cannot hold
-- characters outside the Basic Multilingual Plane (emoji), which utf8mb4
-- can. Their text is the same in both, so such tables are converted once
-- when the four-byte set is asked for; tables already converted are left
-- alone, so that a start on a current schema changes no table.
BEGIN NOT ATOMIC
  IF '[CHARACTER_SET]' = 'utf8mb4' THEN
    FOR t IN (
      SELECT DISTINCT TABLE_NAME AS name FROM information_schema.COLUMNS
      WHERE TABLE_SCHEMA = DATABASE() AND CHARACTER_SET_NAME IN ('utf8mb3', 'utf8')
        AND TABLE_NAME IN ('tb_receipt_google_play_v3', 'tb_receipt_apple_appstore2',
                           'tb_receipt_tstore', 'tb_receipt_p4store', 'tb_receipt_one_store',
                           'tb_revocation', 'tb_revocation_poll'))
    DO
      EXECUTE IMMEDIATE CONCAT('ALTER TABLE ', t.name, ' CONVERT TO CHARACTER SET utf8mb4');
    END FOR;
  END IF;
END;

CREATE OR REPLACE PROCEDURE sp_insert_receipt_google_play2(
  IN p_biller_client_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_player_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_player_service_provider VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_package_name VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_product_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_purchase_token TEXT CHARACTER SET [CHARACTER_SET],
  IN p_kind VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_purchase_time_millis VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_purchase_time_zone VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_purchase_state INT,
  IN p_consumption_state INT,
  IN p_order_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_acknowledgement_state INT,
  IN p_purchase_type INT,
  IN p_developer_payload TEXT CHARACTER SET [CHARACTER_SET])
BEGIN
  DECLARE EXIT HANDLER FOR 1062 SELECT 1 AS result;
  INSERT INTO tb_receipt_google_play_v3 (
    biller_client_id, player_id, player_service_provider, package_name, product_id,
    purchase_token, kind, purchase_time_millis, purchase_time_zone, purchase_state,
    consumption_state, order_id, acknowledgement_state, purchase_type, developer_payload,
    recorded_at_utc)
  VALUES (
    p_biller_client_id, p_player_id, p_player_service_provider, p_package_name, p_product_id,
    p_purchase_token, p_kind, p_purchase_time_millis, p_purchase_time_zone, p_purchase_state,
    p_consumption_state, p_order_id, p_acknowledgement_state, p_purchase_type,
    p_developer_payload, UTC_TIMESTAMP(6));
  SELECT 0 AS result;
END;

-- The procedure of the first version, for callers that do not know the
-- acknowledgement state and purchase type: same table, those left NULL.
CREATE OR REPLACE PROCEDURE sp_insert_receipt_google_play(
  IN p_biller_client_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_player_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_player_service_provider VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_package_name VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_product_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_purchase_token TEXT CHARACTER SET [CHARACTER_SET],
  IN p_kind VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_purchase_time_millis VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_purchase_time_zone VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_purchase_state INT,
  IN p_consumption_state INT,
  IN p_order_id VARCHAR(255) CHARACTER SET [CHARACTER_SET])
BEGIN
  DECLARE EXIT HANDLER FOR 1062 SELECT 1 AS result;
  INSERT INTO tb_receipt_google_play_v3 (
    biller_client_id, player_id, player_service_provider, package_name, product_id,
    purchase_token, kind, purchase_time_millis, purchase_time_zone, purchase_state,
    consumption_state, order_id, acknowledgement_state, purchase_type, developer_payload,
    recorded_at_utc)
  VALUES (
    p_biller_client_id, p_player_id, p_player_service_provider, p_package_name, p_product_id,
    p_purchase_token, p_kind, p_purchase_time_millis, p_purchase_time_zone, p_purchase_state,
    p_consumption_state, p_order_id, NULL, NULL, '', UTC_TIMESTAMP(6));
  SELECT 0 AS result;
END;

CREATE OR REPLACE PROCEDURE sp_insert_receipt_apple_appstore(
  IN p_biller_client_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_player_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_player_service_provider VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_is_sandbox BOOLEAN,
  IN p_receipt_data MEDIUMTEXT CHARACTER SET [CHARACTER_SET],
  IN p_product_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_quantity BIGINT,
  IN p_transaction_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_original_transaction_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_purchase_date VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_purchase_date_time_zone VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_original_purchase_date VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_original_purchase_date_time_zone VARCHAR(64) CHARACTER SET [CHARACTER_SET])
BEGIN
  DECLARE EXIT HANDLER FOR 1062 SELECT 1 AS result;
  INSERT INTO tb_receipt_apple_appstore2 (
    biller_client_id, player_id, player_service_provider, is_sandbox, receipt_data, product_id,
    quantity, transaction_id, original_transaction_id, purchase_date, purchase_date_time_zone,
    original_purchase_date, original_purchase_date_time_zone, recorded_at_utc)
  VALUES (
    p_biller_client_id, p_player_id, p_player_service_provider, p_is_sandbox, p_receipt_data,
    p_product_id, p_quantity, p_transaction_id, p_original_transaction_id, p_purchase_date,
    p_purchase_date_time_zone, p_original_purchase_date, p_original_purchase_date_time_zone,
    UTC_TIMESTAMP(6));
  SELECT 0 AS result;
END;

CREATE OR REPLACE PROCEDURE sp_insert_receipt_tstore(
  IN p_biller_client_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_player_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_player_service_provider VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_is_test BOOLEAN,
  IN p_txid VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_appid VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_signdata MEDIUMTEXT CHARACTER SET [CHARACTER_SET],
  IN p_requested_product_ids TEXT CHARACTER SET [CHARACTER_SET],
  IN p_verified_product_ids TEXT CHARACTER SET [CHARACTER_SET])
BEGIN
  DECLARE EXIT HANDLER FOR 1062 SELECT 1 AS result;
  INSERT INTO tb_receipt_tstore (
    biller_client_id, player_id, player_service_provider, is_test, txid, appid, signdata,
    requested_product_ids, verified_product_ids, recorded_at_utc)
  VALUES (
    p_biller_client_id, p_player_id, p_player_service_provider, p_is_test, p_txid, p_appid,
    p_signdata, p_requested_product_ids, p_verified_product_ids, UTC_TIMESTAMP(6));
  SELECT 0 AS result;
END;

CREATE OR REPLACE PROCEDURE sp_insert_receipt_p4store(
  IN p_biller_client_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_player_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_player_service_provider VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_service_label BIGINT,
  IN p_entitlement_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_auth_code TEXT CHARACTER SET [CHARACTER_SET],
  IN p_environment VARCHAR(64) CHARACTER SET [CHARACTER_SET],
  IN p_use_count BIGINT,
  IN p_use_limit BIGINT,
  IN p_requested_use_count BIGINT)
BEGIN
  DECLARE EXIT HANDLER FOR 1062 SELECT 1 AS result;
  INSERT INTO tb_receipt_p4store (
    biller_client_id, player_id, player_service_provider, service_label, entitlement_id,
    auth_code, environment, use_count, use_limit, requested_use_count, recorded_at_utc)
  VALUES (
    p_biller_client_id, p_player_id, p_player_service_provider, p_service_label,
    p_entitlement_id, p_auth_code, p_environment, p_use_count, p_use_limit,
    p_requested_use_count, UTC_TIMESTAMP(6));
  SELECT 0 AS result;
END;

CREATE OR REPLACE PROCEDURE sp_insert_receipt_one_store(
  IN p_biller_client_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_player_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_player_service_provider VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_is_test BOOLEAN,
  IN p_purchase_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_package_name VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_product_id VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_consumption_state INT,
  IN p_purchase_state INT,
  IN p_purchase_time BIGINT,
  IN p_developer_payload TEXT CHARACTER SET [CHARACTER_SET])
BEGIN
  DECLARE EXIT HANDLER FOR 1062 SELECT 1 AS result;
  INSERT INTO tb_receipt_one_store (
    biller_client_id, player_id, player_service_provider, is_test, purchase_id, package_name,
    product_id, consumption_state, purchase_state, purchase_time, developer_payload,
    recorded_at_utc)
  VALUES (
    p_biller_client_id, p_player_id, p_player_service_provider, p_is_test, p_purchase_id,
    p_package_name, p_product_id, p_consumption_state, p_purchase_state, p_purchase_time,
    p_developer_payload, UTC_TIMESTAMP(6));
  SELECT 0 AS result;
END;

-- Revocations: purchases a store took back (refunds, voids, chargebacks),
-- one row per store and purchase identity, with the biller client and player
-- of the receipt that recorded the purchase when there is one. seq orders
-- the feed: a reader passes back the last seq it saw.
CREATE TABLE IF NOT EXISTS tb_revocation (
  seq BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
  store VARCHAR(32) NOT NULL,
  purchase_id TEXT NOT NULL,
  revoked_at_ms BIGINT NOT NULL,
  reason VARCHAR(255) NOT NULL,
  source VARCHAR(64) NOT NULL,
  biller_client_id VARCHAR(255) NOT NULL,
  player_id VARCHAR(255) NOT NULL,
  recorded_at_ms BIGINT NOT NULL,
  purchase_id_sha256 BINARY(32) AS (UNHEX(SHA2(purchase_id, 256))) STORED,
  PRIMARY KEY (seq),
  UNIQUE KEY uk_store_purchase (store, purchase_id_sha256)
) ENGINE=InnoDB DEFAULT CHARSET=[CHARACTER_SET];

-- How far the voided-purchases list of each package has been read: the
-- latest voided time seen (ms), the start of the next poll.
CREATE TABLE IF NOT EXISTS tb_revocation_poll (
  package_name VARCHAR(255) NOT NULL,
  high_water_ms BIGINT NOT NULL,
  PRIMARY KEY (package_name)
) ENGINE=InnoDB DEFAULT CHARSET=[CHARACTER_SET];

-- One row whose update orders the revocation inserts: a reader of the feed
-- must never see a sequence number commit before a smaller one, or it would
-- step over the smaller one for good. Holding this row until the commit makes
-- the numbers commit in order on one server; on a Galera cluster, inserts on
-- two nodes at once update it both, so one loses certification and runs
-- again.
CREATE TABLE IF NOT EXISTS tb_revocation_order (
  id TINYINT UNSIGNED NOT NULL,
  inserts BIGINT UNSIGNED NOT NULL,
  PRIMARY KEY (id)
) ENGINE=InnoDB;
INSERT IGNORE INTO tb_revocation_order (id, inserts) VALUES (1, 0);

-- Answers 1 for a revocation already recorded; else 0 with the row as
-- recorded: seq, biller client id, player id, recorded time.
CREATE OR REPLACE PROCEDURE sp_insert_revocation(
  IN p_store VARCHAR(32) CHARACTER SET [CHARACTER_SET],
  IN p_purchase_id TEXT CHARACTER SET [CHARACTER_SET],
  IN p_revoked_at_ms BIGINT,
  IN p_reason VARCHAR(255) CHARACTER SET [CHARACTER_SET],
  IN p_source VARCHAR(64) CHARACTER SET [CHARACTER_SET])
BEGIN
  DECLARE v_client VARCHAR(255) CHARACTER SET [CHARACTER_SET] DEFAULT '';
  DECLARE v_player VARCHAR(255) CHARACTER SET [CHARACTER_SET] DEFAULT '';
  DECLARE v_now BIGINT DEFAULT CAST(UNIX_TIMESTAMP(NOW(3)) * 1000 AS SIGNED);
  DECLARE v_key BINARY(32) DEFAULT UNHEX(SHA2(p_purchase_id, 256));
  DECLARE v_seq BIGINT UNSIGNED;
  DECLARE CONTINUE HANDLER FOR NOT FOUND BEGIN END;
  DECLARE EXIT HANDLER FOR 1062 BEGIN ROLLBACK; SELECT 1 AS result; END;
  DECLARE EXIT HANDLER FOR SQLEXCEPTION BEGIN ROLLBACK; RESIGNAL; END;
  IF p_store = 'GooglePlay' THEN
    SELECT biller_client_id, player_id INTO v_client, v_player
      FROM tb_receipt_google_play_v3 WHERE purchase_token_sha256 = v_key LIMIT 1;
  ELSEIF p_store = 'AppleAppStore' THEN
    SELECT biller_client_id, player_id INTO v_client, v_player
      FROM tb_receipt_apple_appstore2 WHERE transaction_id_sha256 = v_key LIMIT 1;
  END IF;
  START TRANSACTION;
  UPDATE tb_revocation_order SET inserts = inserts + 1 WHERE id = 1;
  SELECT IFNULL(MAX(seq), 0) + 1 INTO v_seq FROM tb_revocation;
  INSERT INTO tb_revocation (
    seq, store, purchase_id, revoked_at_ms, reason, source, biller_client_id, player_id,
    recorded_at_ms)
  VALUES (
    v_seq, p_store, p_purchase_id, p_revoked_at_ms, p_reason, p_source, IFNULL(v_client, ''),
    IFNULL(v_player, ''), v_now);
  COMMIT;
  SELECT 0 AS result, v_seq AS seq, IFNULL(v_client, '') AS biller_client_id,
    IFNULL(v_player, '') AS player_id, v_now AS recorded_at_ms;
END;
