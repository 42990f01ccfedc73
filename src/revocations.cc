#include "src/revocations.h"

#include <algorithm>
#include <charconv>

#include <glog/logging.h>

#include "framework/activity_log.h"
#include "framework/api_service.h"
#include "framework/billing_store.h"
#include "framework/metrics.h"
#include "src/billing_agent_state.h"
#include "src/log_text.h"

namespace tvx {
namespace {

constexpr char kRevocationLogName[] = "Revocation";
constexpr char kJson[] = "application/json";

const LoggerRegistryHelper the_revocation_log_registration(
    kRevocationLogName,
    R"({"store": "string", "purchase_id": "string", "revoked_at_ms": "integer", )"
    R"("reason": "string", "source": "string", "biller_client_id": "string", )"
    R"("player_id": "string", "recorded_at_ms": "integer"})",
    {"store", "purchase_id", "revoked_at_ms", "reason", "source", "biller_client_id",
     "player_id", "recorded_at_ms"},
    {ActivityColumnType::kText, ActivityColumnType::kText, ActivityColumnType::kInt64,
     ActivityColumnType::kText, ActivityColumnType::kText, ActivityColumnType::kText,
     ActivityColumnType::kText, ActivityColumnType::kInt64},
    {true, true, false, true, true, true, true, false});

void OnRecorded(const RecordedRevocation& revocation) {
  const RevocationRow& row = revocation.row;
  LogActivity(kRevocationLogName,
              {row.store, row.purchase_id, std::to_string(row.revoked_at_ms), row.reason,
               row.source, revocation.biller_client_id, revocation.player_id,
               std::to_string(revocation.recorded_at_ms)});
  metrics::CountRevocation(GetBillingServiceProviderFromString(row.store));
  LOG(INFO) << "Revocation recorded: store=" << row.store
            << ", purchase_id=" << LogText(row.purchase_id) << ", reason=" << LogText(row.reason)
            << ", source=" << row.source
            << ", biller_client_id=" << LogText(revocation.biller_client_id)
            << ", player_id=" << LogText(revocation.player_id);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX and '+' decoded; a broken escape is kept as it is.
std::string PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
               HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool ParseNumber(const std::string& text, int64_t* value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return !text.empty() && ec == std::errc() && ptr == end;
}

void AnswerError(const std::shared_ptr<HttpSocket>& socket, int status, const std::string& error) {
  Json body = Json::Object();
  body.SetString("error", error);
  socket->SendResponse(status, body.ToString(), kJson);
}

void OnFeed(const std::shared_ptr<HttpSocket>& socket,
            const std::shared_ptr<http::Request2>& request) {
  uint64_t since = 0;
  int limit = kFeedDefaultLimit;
  std::string error;
  if (!ParseFeedQuery(request->target, &since, &limit, &error)) {
    return AnswerError(socket, 400, error);
  }
  std::shared_ptr<BillerDatabase> database = the_db_connection.load();
  if (!database) return AnswerError(socket, 503, "the database is not available");
  database->ListRevocations(
      since, limit, [socket, since](bool ok, const std::vector<RecordedRevocation>& list) {
        if (!ok) return AnswerError(socket, 503, "the database is not available");
        socket->SendResponse(200, RenderFeed(list, since).ToString(), kJson);
      });
}

}  // namespace

void RecordRevocation(const RevocationRow& row, std::function<void(bool recorded)> done) {
  std::shared_ptr<BillerDatabase> database = the_db_connection.load();
  if (!database) {
    done(false);
    return;
  }
  database->InsertRevocation(
      row, [done = std::move(done)](BillerDatabase::InsertReceiptResult result,
                                    const RecordedRevocation& recorded) {
        if (result == BillerDatabase::kInsertSucceeded) OnRecorded(recorded);
        done(result == BillerDatabase::kInsertSucceeded ||
             result == BillerDatabase::kInsertDuplicated);
      });
}

bool QueryParameter(const std::string& target, const std::string& name, std::string* value) {
  const size_t question = target.find('?');
  if (question == std::string::npos) return false;
  std::string_view query(target);
  query.remove_prefix(question + 1);
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const size_t equals = pair.find('=');
    if (PercentDecode(pair.substr(0, equals)) == name) {
      *value = equals == std::string_view::npos ? "" : PercentDecode(pair.substr(equals + 1));
      return true;
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return false;
}

bool ParseFeedQuery(const std::string& target, uint64_t* since, int* limit, std::string* error) {
  std::string text;
  *since = 0;
  *limit = kFeedDefaultLimit;
  if (QueryParameter(target, "since", &text)) {
    int64_t value = 0;
    if (!ParseNumber(text, &value) || value < 0) {
      *error = "wrong 'since': a non-negative integer cursor";
      return false;
    }
    *since = static_cast<uint64_t>(value);
  }
  if (QueryParameter(target, "limit", &text)) {
    int64_t value = 0;
    if (!ParseNumber(text, &value) || value < 1) {
      *error = "wrong 'limit': a positive integer";
      return false;
    }
    *limit = static_cast<int>(std::min<int64_t>(value, kFeedMaxLimit));
  }
  return true;
}

Json RenderFeed(const std::vector<RecordedRevocation>& revocations, uint64_t since) {
  Json list = Json::Array();
  for (const RecordedRevocation& entry : revocations) {
    Json item = Json::Object();
    item.SetString("store", entry.row.store);
    item.SetString("purchase_id", entry.row.purchase_id);
    item.SetAttribute("revoked_at_ms", Json(entry.row.revoked_at_ms));
    item.SetString("reason", entry.row.reason);
    item.SetString("source", entry.row.source);
    item.SetString("biller_client_id", entry.biller_client_id);
    item.SetString("player_id", entry.player_id);
    item.SetAttribute("recorded_at_ms", Json(entry.recorded_at_ms));
    list.PushBack(std::move(item));
    since = entry.seq;
  }
  Json body = Json::Object();
  body.SetAttribute("revocations", std::move(list));
  body.SetAttribute("next_since", Json(static_cast<int64_t>(since)));
  return body;
}

void StartRevocationFeed() { ApiService::SetRoute(kRevocationsFeedPath, &OnFeed); }

void StopRevocationFeed() { ApiService::SetRoute(kRevocationsFeedPath, nullptr); }

}  // namespace tvx
