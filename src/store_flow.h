// The skeleton every store validation flow is written on. A flow is a chain
// of store steps (an access token, a purchase query, ...) that ends in
// exactly one answer to the client. StoreFlow carries what every step needs
// (the request, the player account, the receipt, the back-off of the step
// being retried, the store's log tag and counters) and the operations the
// stores share: answering a refusal, counting, retrying a failed step or
// giving up, and recording a confirmed purchase before answering. Each
// store's flow file keeps only what is its own: the order of its steps, how
// it reads its store's verdicts, and the row it records.
#ifndef SRC_STORE_FLOW_H_
#define SRC_STORE_FLOW_H_

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <boost/system/error_code.hpp>

#include "framework/biller.pb.h"
#include "framework/clock.h"
#include "framework/json.h"
#include "framework/player_account.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/billing_statistics.h"
#include "src/database.h"
#include "src/exponential_backoff.h"
#include "src/retry_policy.h"
#include "src/session.h"
#include "src/token_query.h"

namespace tvx {

// The heads of the lines that report an insert's result, written between
// the store's tag and the outcome fields.
struct InsertLines {
  const char* verified;           // info
  const char* duplicated;         // warning
  const char* connection_failed;  // warning
  const char* failed;             // warning
};

inline constexpr InsertLines kInsertLines = {
    "Verified", "Already provisioned",
    "Failed to update the receipt, Please check your database connection/server",
    "Unknown database issue, Please check your database connection/server"};

// A store's word against a receipt: the head of its warning line, the
// answer and the count.
struct Refusal {
  const char* what;
  int result;    // Biller::ReceiptValidation_Response
  int32_t code;  // the validation result counted
};

inline constexpr Refusal kRefuseInvalid = {
    "Invalid receipt found", Biller::ReceiptValidation_Response::kFailWrongReceipt, kWrongReceipt};
inline constexpr Refusal kRefuseCancelled = {
    "Cancelled receipt", Biller::ReceiptValidation_Response::kFailCancelledReceipt,
    kCancelledReceipt};
inline constexpr Refusal kRefusePending = {
    "Pending receipt", Biller::ReceiptValidation_Response::kFailPendingReceipt, kPendingReceipt};

// What makes the skeleton's lines and counts one store's.
struct StoreTraits {
  const char* tag;         // begins the outcome lines, "[Google PlayStore] "
  const char* store_name;  // "service_provider" of an answered decoded receipt
  ValidationStatistics* statistics;  // counted next to the_total_statistics
  // The outcome lines name the session by its id alone, not with its state
  // and client ids.
  bool session_by_id;
  const char* inserted_trace;  // verbose line once an insert completed; null for none
  InsertLines insert_lines = kInsertLines;
};

class StoreFlow : public std::enable_shared_from_this<StoreFlow> {
 public:
  StoreFlow(const StoreTraits& store, ValidationStart start);

  const std::shared_ptr<Request>& request() const { return request_; }
  const Json& receipt() const { return receipt_; }
  const PlayerAccount& account() const { return account_; }
  const std::shared_ptr<ExponentialBackoff>& back_off() const { return back_off_; }
  // True until a failed step is tried again. A retry asks again with the
  // receipt the first attempt accepted, so only the first checks its form.
  bool first_attempt() const;
  // Arguments 1 to 3 of this flow's receipt row.
  ReceiptOwner owner() const;
  // A receipt row of this flow's owner, its other fields to be filled.
  template <typename Row>
  Row NewRow() const {
    Row row;
    row.owner = owner();
    return row;
  }
  // ": session=..., account id=..., receipt=..." of the outcome lines.
  std::string Fields() const;

  // Answers the request with a receipt validation `result`.
  void Answer(int result) const;
  // Counts a validation result on the total and the store's counters.
  void Record(int32_t code) const;
  // Counts a store exchange that started at `send_time`.
  void Communicated(int64_t send_time) const;
  // The store's word against the receipt: logs the tag, `what`, Fields() and
  // `detail` as a warning, answers `result` and counts `code`.
  void Refuse(const Refusal& refusal, const std::string& detail = std::string()) const;
  // Answers a failure response of the biller error `code` and counts
  // `counted`.
  void Fail(int32_t code, const std::string& message, int32_t counted) const;
  // A receipt not of the store's form: logs the tag, `what`, the session id
  // and the receipt as a warning and answers kFailWrongReceipt, counting
  // nothing.
  void RefuseMalformed(const char* what) const;
  // The start of every store answer: counts the exchange that started at
  // `send_time`; when it failed with `error`, retries it (`retry`) or gives
  // up, and returns false. True when the store gave its word to read.
  bool StoreReplied(const RetryStep& step, int64_t send_time,
                    const boost::system::error_code& error, std::function<void()> retry) const;
  // One store exchange of a step that is retried: `ask` starts it and hands
  // its completion the error and the store's answer. Counts the exchange;
  // while the store cannot be reached, asks again after the back-off delay
  // (or gives up, answering the failure); hands the store's word to `read`.
  template <typename Answer>
  using Completion = std::function<void(const boost::system::error_code&, const Answer&)>;
  template <typename Answer>
  void Ask(const RetryStep& step, std::function<void(Completion<Answer>)> ask,
           std::function<void(const Answer&)> read) const {
    const int64_t send_time = MonotonicClock::Now();
    auto again = [self = shared_from_this(), step = &step, ask, read] {
      self->Ask(*step, ask, read);
    };
    ask([self = shared_from_this(), step = &step, send_time, again = std::move(again), read](
            const boost::system::error_code& error, const Answer& answer) {
      if (self->StoreReplied(*step, send_time, error, again)) read(answer);
    });
  }

  // A step that failed with `error`: counts a purchase step's failure (every
  // failed attempt counts, also one that is retried), then either schedules
  // `retry` after the back-off delay or answers with the failure.
  void RetryOrGiveUp(const RetryStep& step, const boost::system::error_code& error,
                     std::function<void()> retry) const;

  // On the first attempt, a receipt lacking one of the texts `keys` need not
  // be shown to the store: logs `what`, ": session=", the session and the
  // receipt as a warning, answers kFailWrongReceipt, counts nothing and
  // returns true.
  bool RefuseWithoutTexts(std::initializer_list<const char*> keys, const char* what) const;
  // Answers kFailNotAuthenticatedServiceProvider, with the lines naming
  // `service`, when the session has no `client_id` for the store. True when
  // it answered.
  bool RefuseWithoutClientId(const std::string& client_id, const char* service) const;
  // The end of a token step: on `error` retries it (`retry_token`) or gives
  // up; otherwise resets the back-off, for the next step retries on its own,
  // and runs `next`.
  void AfterToken(const RetryStep& token_step, const boost::system::error_code& error,
                  std::function<void()> retry_token, const std::function<void()>& next) const;

  // The token step of a store reached with an access token. On the first
  // attempt, a session without the store's `client_id` is answered as
  // RefuseWithoutClientId does. `get_token` asks the cache; its error is
  // retried or given up as AfterToken does, its token leads to `next`.
  void RequestToken(const RetryStep& token_step, const std::string& client_id,
                    const char* service, std::function<void(AccessTokenCallback)> get_token,
                    std::function<void()> next) const;
  // One purchase query of such a store, made with the cache's token (see
  // TokenQuery: an answer with the code kTokenRejected renews the token once)
  // and retried as Ask.
  template <typename Answer>
  void AskWithToken(const RetryStep& step, TokenQuery<Answer> query,
                    std::function<void(const Answer&)> read) const {
    query.token_rejected = [](const Answer& answer) {
      return answer.code == Answer::kTokenRejected;
    };
    Ask<Answer>(
        step,
        [query = std::move(query)](Completion<Answer> done) {
          AskWithCachedToken(query, std::move(done));
        },
        std::move(read));
  }
  // "<what>key=value, ..., try_count=N" as an info line, each value the
  // receipt's text under `key`.
  void LogAsking(const char* what, std::initializer_list<const char*> keys) const;
  // The verdicts on a purchase query's answer of a token store: a refusal,
  // or a token rejected even when just renewed, leaves the receipt unproven;
  // purchase state 1 is cancelled, 2 pending (when `has_pending`). True when
  // it answered; else logs "Validating <store> receipt was successful, ...".
  template <typename Answer>
  bool RefusePurchase(const Answer& answer, const char* adapter, const char* store,
                      bool has_pending) const {
    if (answer.code == Answer::kFailure || answer.code == Answer::kTokenRejected) {
      Refuse(kRefuseInvalid);
      return true;
    }
    if (answer.code != Answer::kSuccess) AssertSucceeded(adapter);
    if (answer.purchase_state == 1) {
      Refuse(kRefuseCancelled);
      return true;
    }
    if (has_pending && answer.purchase_state == 2) {
      Refuse(kRefusePending);
      return true;
    }
    LogSucceeded(store);
    return false;
  }
  // "Validating <store> receipt was successful, Now updating the data".
  static void LogSucceeded(const char* store);

  // Runs one receipt insert on the database.
  using InsertCall =
      std::function<void(BillerDatabase&, const BillerDatabase::InsertReceiptCallback&)>;
  // How a flow wants the insert's result answered.
  struct InsertAnswer {
    // Answered with "service_provider" set when the request asks for it;
    // never answered when unset.
    std::optional<Json> decoded_receipt;
    // Runs after the verified line, before the answer.
    std::function<void()> on_verified;
    // The end of the result lines; Fields() when unset.
    std::function<std::string()> fields;
  };
  // Records the receipt through `insert` (a failure when the agent has no
  // database), then logs, answers and counts its result: new is success,
  // duplicate kFailAlreadyProvisioned, anything else database failure 2001.
  void InsertThenAnswer(InsertCall insert, InsertAnswer answer) const;
  // The same with one of the database's inserts and its row.
  template <typename Row>
  void InsertThenAnswer(void (BillerDatabase::*insert)(const Row&,
                                                       const BillerDatabase::InsertReceiptCallback&),
                        Row row, InsertAnswer answer) const {
    InsertThenAnswer(
        [insert, row = std::make_shared<const Row>(std::move(row))](
            BillerDatabase& database, const BillerDatabase::InsertReceiptCallback& done) {
          (database.*insert)(*row, done);
        },
        std::move(answer));
  }

  // Writes the Purchase record of a purchase provisioned for this flow's
  // session and account, stamped with the server's time.
  void LogPurchase(const std::string& product_id, int64_t quantity, int64_t client_timestamp,
                   const std::string& client_timezone) const;

 private:
  [[noreturn]] static void AssertSucceeded(const char* adapter);
  void OnInserted(BillerDatabase::InsertReceiptResult result, const InsertAnswer& answer) const;

  const StoreTraits& store_;
  const std::shared_ptr<Request> request_;
  const Json receipt_;
  const PlayerAccount account_;
  const std::shared_ptr<ExponentialBackoff> back_off_;
};

// Flows hand the context from step to step.
using Flow = std::shared_ptr<const StoreFlow>;

// True when `key` names a non-empty string of `receipt`.
bool HasText(const Json& receipt, const char* key);

// A store reached with an access token from a cache (Google Play, OneStore):
// what its flow's lines name.
struct TokenStore {
  StoreTraits traits;
  RetryStep token_step;
  RetryStep receipt_step;
  const char* service;          // the lines of a session without the store's client id
  const char* invalid_receipt;  // the line of a receipt lacking one of `keys`
  const char* asking;           // heads the line of each purchase query
  const char* adapter;          // the assert on an answer of an unknown code
  const char* store;            // the line of a purchase found
  bool has_pending;             // purchase state 2 is a pending purchase
  const char* keys[3];          // the receipt's texts the query sends, in this order
};

// What a token store's flow calls: its cache, its query and its insert.
template <typename Answer>
struct TokenStoreCalls {
  using Texts = std::array<std::string, 3>;
  std::function<AccessTokenKey(const ClientSession&)> key;  // the session's cache entry
  std::function<void(const AccessTokenKey&, AccessTokenCallback)> get_token;
  std::function<void(const AccessTokenKey&, const std::string& token)> drop_token;
  // One purchase query for the receipt's texts under TokenStore::keys.
  std::function<void(const Texts&, const std::string& token, StoreFlow::Completion<Answer>)> query;
  std::function<void(const Flow&, const Answer&)> insert;
};

// The calls of a token store whose adapter keeps its tokens in the shared
// cache and asks for a purchase by the receipt's three texts. `key` is the
// session's cache entry; each of `flags` is one more argument of the
// adapter's token and query calls (OneStore's host), read when each call is
// made.
template <typename Adapter, typename... Flags>
TokenStoreCalls<typename Adapter::ReceiptValidationResponse> AdapterCalls(
    const AccessTokenKey& (ClientSession::*key)() const,
    void (*insert)(const Flow&, const typename Adapter::ReceiptValidationResponse&),
    const Flags*... flags) {
  using Answer = typename Adapter::ReceiptValidationResponse;
  TokenStoreCalls<Answer> calls;
  calls.key = [key](const ClientSession& session) { return (session.*key)(); };
  calls.get_token = [flags...](const AccessTokenKey& cached, AccessTokenCallback callback) {
    Adapter::GetCachedAccessToken(cached, *flags..., std::move(callback));
  };
  calls.drop_token = Adapter::InvalidateAccessToken;
  calls.query = [flags...](const typename TokenStoreCalls<Answer>::Texts& texts,
                           const std::string& token, StoreFlow::Completion<Answer> done) {
    Adapter::Create(AgentIo())->RequestReceiptValidation(texts[0], texts[1], texts[2], token,
                                                         *flags..., std::move(done));
  };
  calls.insert = insert;
  return calls;
}

// The purchase step of a token store: asks the store with the cache's
// token (retried while the store cannot be reached), reads its verdict and
// records a purchase found.
template <typename Answer>
void AskTokenStore(const TokenStore& store, const TokenStoreCalls<Answer>& calls,
                   const Flow& flow) {
  const std::initializer_list<const char*> keys = {store.keys[0], store.keys[1], store.keys[2]};
  if (flow->RefuseWithoutTexts(keys, store.invalid_receipt)) return;
  // Every attempt takes the token the cache holds then; one the store
  // rejects (revoked, expired early) is renewed once before its word is taken.
  const AccessTokenKey key = calls.key(*flow->request()->session);
  TokenQuery<Answer> query;
  query.get_token = [key, calls](AccessTokenCallback callback) {
    calls.get_token(key, std::move(callback));
  };
  query.drop_token = [key, calls](const std::string& token) { calls.drop_token(key, token); };
  query.query = [&store, calls, flow](const std::string& token,
                                      StoreFlow::Completion<Answer> done) {
    flow->LogAsking(store.asking, {store.keys[0], store.keys[1], store.keys[2]});
    const Json& receipt = flow->receipt();
    calls.query({receipt.GetString(store.keys[0]), receipt.GetString(store.keys[1]),
                 receipt.GetString(store.keys[2])},
                token, std::move(done));
  };
  flow->template AskWithToken<Answer>(
      store.receipt_step, std::move(query), [&store, calls, flow](const Answer& answer) {
        if (!flow->RefusePurchase(answer, store.adapter, store.store, store.has_pending)) {
          calls.insert(flow, answer);
        }
      });
}

// A token store's flow: the token step, then AskTokenStore.
template <typename Answer>
void RunTokenStore(const TokenStore& store, TokenStoreCalls<Answer> calls,
                   ValidationStart start) {
  const std::string client_id = calls.key(*start.request->session).account;
  auto flow = std::make_shared<const StoreFlow>(store.traits, std::move(start));
  flow->RequestToken(
      store.token_step, client_id, store.service,
      [calls, flow](AccessTokenCallback callback) {
        calls.get_token(calls.key(*flow->request()->session), std::move(callback));
      },
      [&store, calls, flow] { AskTokenStore(store, calls, flow); });
}

}  // namespace tvx

#endif  // SRC_STORE_FLOW_H_
