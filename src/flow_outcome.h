// The end every store flow shares: answering the outcome of its receipt
// insert.
#ifndef SRC_FLOW_OUTCOME_H_
#define SRC_FLOW_OUTCOME_H_

#include <functional>
#include <memory>
#include <string>

#include "framework/json.h"
#include "src/billing_statistics.h"
#include "src/database.h"
#include "src/session.h"

namespace tvx {

// Logs, answers and counts (on "total" and on `store_statistics`) the result
// of a receipt insert:
// - new: "Verified", then `on_verified` (when set), then success; when the
//   request asked for it, the answer carries `decoded_receipt` with
//   "service_provider" set to `store_name`;
// - duplicate: "Already provisioned", kFailAlreadyProvisioned;
// - anything else: a database failure 2001.
// `tag` begins each line ("[Google PlayStore] "), `fields` ends it.
void AnswerInsertResult(const BillerDatabase::InsertReceiptResult& result, const char* tag,
                        const char* store_name, ValidationStatistics& store_statistics,
                        const std::shared_ptr<Request>& request, const std::string& fields,
                        const Json& decoded_receipt, const std::function<void()>& on_verified);

}  // namespace tvx

#endif  // SRC_FLOW_OUTCOME_H_
