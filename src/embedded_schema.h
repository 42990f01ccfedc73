// The schema script sql/sql_initialize_schema.sql, built into the program so
// that it runs from any folder; --resource_root names another script.
#ifndef SRC_EMBEDDED_SCHEMA_H_
#define SRC_EMBEDDED_SCHEMA_H_

namespace tvx {

const char* EmbeddedSchemaScript();

}  // namespace tvx

#endif  // SRC_EMBEDDED_SCHEMA_H_
