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

// The schema script applied last is remembered by its SHA-256 in a table of
// one row that the script itself creates (at its end). A start whose script
// has that digest, on a schema without problems, executes no DDL at all: on a
// cluster, DDL stalls every node.

// True when the database records `digest` as the script applied last; a
// missing table or row, or any error, says no.
bool SchemaScriptApplied(Mariadb& connection, const std::string& digest);
// The statement that records `digest` (64 hexadecimal digits) as applied.
std::string RecordSchemaScriptStatement(const std::string& digest);

// The message of the first table or procedure that is missing, or of an
// older table that holds receipts that were not migrated; "" when none.
std::string FindSchemaProblem(Mariadb& connection);
// Ends the process with FindSchemaProblem's message when there is one.
void ValidateMariadbSchema(Mariadb& connection);

}  // namespace tvx

#endif  // SRC_MYSQL_SCHEMA_H_
