// The receipt schema: the script shipped under the resource root, its
// export for a database administrator, and the check that the database holds
// what the inserts need. Everything here runs once, on the start-up thread,
// and every failure ends the process with a message saying what is wrong.
#ifndef SRC_MYSQL_SCHEMA_H_
#define SRC_MYSQL_SCHEMA_H_

#include <string>

#include "framework/mariadb.h"

namespace tvx {

inline constexpr char kSchemaScriptPath[] = "/sql/sql_initialize_schema.sql";
inline constexpr char kCharacterSetPlaceholder[] = "[CHARACTER_SET]";

// The script under GetResRoot(), prepared with the mysql_db_character_set
// option. A missing, unreadable or empty file ends the process.
std::string LoadInitSchemaScript();

// `text` without white space at its ends and with every placeholder
// replaced by Mariadb::EffectiveCharacterSet(character_set) (inserted text
// is not searched again): "utf8" gives utf8mb4 tables, as it gives utf8mb4
// connections.
std::string PrepareSchemaScript(const std::string& text, const std::string& character_set);

// The export file: a header naming the server and database, then the script
// between "DELIMITER $$" and "$$", for the mariadb command-line client.
std::string ComposeSchemaExport(const std::string& address, const std::string& database,
                                const std::string& script);
// Writes ComposeSchemaExport to `path`, creating missing parent folders.
void ExportSchemaScript(const std::string& address, const std::string& database,
                        const std::string& script, const std::string& path);

// Ends the process at the first table or procedure that is missing, or when
// an older table holds receipts that were not migrated.
void ValidateMariadbSchema(Mariadb& connection);

}  // namespace tvx

#endif  // SRC_MYSQL_SCHEMA_H_
