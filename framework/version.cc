#include "framework/version.h"

#include "biller_version.h"  // generated at build time

namespace tvx {

const char* BillerVersion() { return BILLER_VERSION; }

}  // namespace tvx
