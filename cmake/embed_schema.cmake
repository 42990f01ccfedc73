# Writes OUT, a C++ source defining tvx::EmbeddedSchemaScript() as the text
# of IN (the schema script), so that the program needs no file to install it.
file(READ "${IN}" script)
string(FIND "${script}" ")biller_sql\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${IN} holds the raw string delimiter )biller_sql\"")
endif()
file(WRITE "${OUT}.tmp"
"// Generated from sql/sql_initialize_schema.sql at build time.
#include \"src/embedded_schema.h\"

namespace tvx {

const char* EmbeddedSchemaScript() {
  return R\"biller_sql(${script})biller_sql\";
}

}  // namespace tvx
")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
