#include "src/mysql_schema.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <glog/logging.h>

#include "framework/engine.h"
#include "src/billing_service.h"
#include "src/embedded_schema.h"

namespace tvx {
namespace {

constexpr char kWhiteSpace[] = " \t\n\r\v\f";

bool TableExists(Mariadb& connection, const std::string& name) {
  auto result_sets = connection.ExecuteQuerySync(
      "SELECT * FROM information_schema.TABLES WHERE TABLE_SCHEMA = database() AND "
      "TABLE_NAME = '" + name + "';");
  return result_sets && result_sets->SeekNextResultSet() && result_sets->GetRowCount() > 0;
}

bool ProcedureExists(Mariadb& connection, const std::string& name) {
  auto result_sets = connection.ExecuteQuerySync(
      "SELECT * FROM information_schema.ROUTINES WHERE ROUTINE_SCHEMA = database() AND "
      "ROUTINE_NAME = '" + name + "' AND ROUTINE_TYPE = 'PROCEDURE';");
  return result_sets && result_sets->SeekNextResultSet() && result_sets->GetRowCount() > 0;
}

// Rows of the table; 0 when they cannot be counted.
int32_t CountRows(Mariadb& connection, const std::string& name) {
  auto result_sets = connection.ExecuteQuerySync("SELECT COUNT(1) FROM " + name + ";");
  if (!result_sets || !result_sets->SeekNextResultSet() || result_sets->GetRowCount() != 1) {
    return 0;
  }
  if (!result_sets->SeekNextRow()) LOG(FATAL) << "Assert failed: result_sets->SeekNextRow(): ";
  return result_sets->GetInt32(0, 0);
}

// True when the older table holds rows and the current one holds none.
bool NotMigrated(Mariadb& connection, const std::string& older, const std::string& current) {
  if (!TableExists(connection, older)) return false;
  const int32_t old_rows = CountRows(connection, older);
  const int32_t new_rows = CountRows(connection, current);
  return new_rows == 0 && old_rows != 0;
}

constexpr char kSchemaScriptTable[] = "tb_biller_schema_script";

}  // namespace

bool SchemaScriptApplied(Mariadb& connection, const std::string& digest) {
  // Looked up first so that a new database logs no failed query.
  if (!TableExists(connection, kSchemaScriptTable)) return false;
  Mariadb::Error error;
  auto result_sets = connection.ExecuteQuerySync(
      std::string("SELECT script_sha256 FROM ") + kSchemaScriptTable + " WHERE id = 1;", &error);
  if (error || !result_sets || !result_sets->SeekNextResultSet() ||
      result_sets->GetRowCount() != 1 || !result_sets->SeekNextRow()) {
    return false;
  }
  return result_sets->GetString(0) == digest;
}

std::string RecordSchemaScriptStatement(const std::string& digest) {
  return std::string("INSERT INTO ") + kSchemaScriptTable +
         " (id, script_sha256, applied_at_utc) VALUES (1, '" + digest +
         "', UTC_TIMESTAMP(6)) ON DUPLICATE KEY UPDATE script_sha256 = VALUES(script_sha256), "
         "applied_at_utc = VALUES(applied_at_utc);";
}

std::string PrepareSchemaScript(const std::string& text, const std::string& character_set) {
  const auto last = text.find_last_not_of(kWhiteSpace);
  if (last == std::string::npos) return std::string();
  const auto first = text.find_first_not_of(kWhiteSpace);
  const std::string trimmed = text.substr(first, last + 1 - first);

  const std::string placeholder = kCharacterSetPlaceholder;
  const std::string value = Mariadb::EffectiveCharacterSet(character_set);
  std::string prepared;
  size_t from = 0;
  for (size_t at; (at = trimmed.find(placeholder, from)) != std::string::npos;
       from = at + placeholder.size()) {
    prepared.append(trimmed, from, at - from);
    prepared += value;
  }
  prepared.append(trimmed, from);
  return prepared;
}

std::string LoadInitSchemaScript() {
  // Without a resource root the script built into the program is used.
  if (GetResRoot().empty()) {
    return PrepareSchemaScript(EmbeddedSchemaScript(), FLAGS_mysql_db_character_set);
  }
  const std::string path = GetResRoot() + kSchemaScriptPath;
  std::string text;
  {
    std::ifstream in(path, std::ios::binary);
    if (in) {
      std::ostringstream content;
      content << in.rdbuf();
      text = content.str();
    }
  }
  if (text.empty()) LOG(FATAL) << "Failed to open '" << path << "'";
  return PrepareSchemaScript(text, FLAGS_mysql_db_character_set);
}

std::string ComposeSchemaExport(const std::string& address, const std::string& database,
                                const std::string& script) {
  std::string out;
  out += "-- address: " + address + "\n";
  out += "-- database: " + database + "\n";
  out += "\n";
  out += "USE " + database + ";\n";
  out += "\n";
  out += "DELIMITER $$\n";
  out += "\n";
  out += script;
  out += "\n";
  out += "$$\n";
  out += "\n";
  out += "DELIMITER ;";
  return out;
}

void ExportSchemaScript(const std::string& address, const std::string& database,
                        const std::string& script, const std::string& path) {
  LOG(INFO) << "Generating a script file for db schema generation: " << path;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec) {
      LOG(FATAL) << "Failed to create directory: " << parent.string()
                 << ", error code: " << ec.value();
    }
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) LOG(FATAL) << "Failed to create file: " << path;
  out << ComposeSchemaExport(address, database, script);
  out.close();
  if (!out) LOG(FATAL) << "Failed to create file: " << path;
  LOG(INFO) << "The script file has been generated: " << path;
}

std::string FindSchemaProblem(Mariadb& connection) {
  // In the order of the checks. An older layout is checked right after the
  // procedure of its current table (the entry before).
  struct Piece {
    bool table;
    const char* name;
    const char* missing;
    const char* older_table = nullptr;
    const char* not_migrated = nullptr;
  };
  static const Piece kPieces[] = {
      {true, "tb_receipt_google_play_v3", "There is no google play table."},
      {false, "sp_insert_receipt_google_play2", "There is no google play stored procedure.",
       "tb_receipt_google_play",
       "Validation failed: old google play data is not migrated yet, "
       "Please refer to the link below to migrate your data: \n"
       "sql/MIGRATION.md#google-play (in the biller's source tree)"},
      {true, "tb_receipt_apple_appstore2", "There is no apple appstore table."},
      {false, "sp_insert_receipt_apple_appstore", "There is no apple appstore stored procedure.",
       "tb_receipt_apple_appstore",
       "Validation failed: old appstore data is not migrated yet, "
       "please execute below query to migrate appstore data: \n"
       "'INSERT IGNORE INTO tb_receipt_apple_appstore2 SELECT * FROM "
       "tb_receipt_apple_appstore;'"},
      {true, "tb_receipt_tstore", "There is no tstore table."},
      {false, "sp_insert_receipt_tstore", "There is no tstore stored procedure."},
      {true, "tb_receipt_one_store", "There is no OneStore table."},
      {false, "sp_insert_receipt_one_store", "There is no OneStore stored procedure."},
      {true, "tb_receipt_p4store", "There is no PlayStation table."},
      {false, "sp_insert_receipt_p4store", "There is no PlayStation stored procedure."},
      {true, "tb_revocation", "There is no revocation table tb_revocation"},
      {true, "tb_revocation_poll", "There is no revocation table tb_revocation_poll"},
      {true, "tb_revocation_order", "There is no revocation table tb_revocation_order"},
      {false, "sp_insert_revocation", "There is no revocation stored procedure."},
  };
  for (size_t i = 0; i < std::size(kPieces); ++i) {
    const Piece& piece = kPieces[i];
    const bool present = piece.table ? TableExists(connection, piece.name)
                                     : ProcedureExists(connection, piece.name);
    if (!present) return piece.missing;
    if (piece.older_table && NotMigrated(connection, piece.older_table, kPieces[i - 1].name)) {
      return piece.not_migrated;
    }
  }
  return std::string();
}

void ValidateMariadbSchema(Mariadb& connection) {
  const std::string problem = FindSchemaProblem(connection);
  if (!problem.empty()) LOG(FATAL) << problem;
}

}  // namespace tvx
