// Answers a receipt of a store whose validation is not part of this build
// with kFailWrongServiceProvider, as an unknown store would be.
#ifndef SRC_STORE_FLOW_STUB_H_
#define SRC_STORE_FLOW_STUB_H_

#include <memory>

#include "src/session.h"

namespace tvx {

void RefuseStoreNotInBuild(const std::shared_ptr<Request>& request, const char* store);

}  // namespace tvx

#endif  // SRC_STORE_FLOW_STUB_H_
