// Every store flow from the receipt to its one answer: a scripted fake store on
// loopback, a fake receipt database with a scripted insert result, retries at once.
#include <atomic>
#include <future>
#include <map>
#include <mutex>

#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "framework/billing_store.h"
#include "framework/engine.h"
#include "framework/uuid.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/billing_statistics.h"
#include "src/database_statements.h"
#include "src/google_play_adapter.h"
#include "src/one_store_adapter.h"
#include "src/p4_store_adapter.h"
#include "src/retry_policy.h"
#include "src/store_endpoints.h"
#include "tests/support/biller_process.h"
#include "tests/support/fake_store_server.h"
#include "tests/support/log_capture.h"

namespace tvx::testing {
namespace {

using namespace std::chrono_literals;
using Insert = BillerDatabase::InsertReceiptResult;
using Done = BillerDatabase::InsertReceiptCallback;
using V = Biller::ReceiptValidation_Response;

// Records each insert as its statement, every text marked as escaped, and
// answers the scripted result on the io context, as the real database does.
class FakeDatabase : public BillerDatabase {
 public:
  FakeDatabase(std::shared_ptr<IoContext> io, Insert result)
      : io_(std::move(io)), result_(result) {}
  std::vector<std::string> statements() { return LockedCopy(mutex_, statements_); }
  bool InstallSchema(const std::string&) override { return true; }
  void ValidateSchema() override {}
  void GetDatabaseProfiling(Json*) override {}
#define FAKE_INSERT(Name, Row, Compose) \
  void Name(const Row& r, const Done& done) override { Record(Compose(Mark, r), done); }
  FAKE_INSERT(InsertGooglePlayReceipt, GooglePlayReceiptRow, ComposeGooglePlayStatement)
  FAKE_INSERT(InsertGooglePlayReceipt2, GooglePlayReceiptRow, ComposeGooglePlay2Statement)
  FAKE_INSERT(InsertAppleAppStoreReceipt, AppleAppStoreReceiptRow, ComposeAppleAppStoreStatement)
  FAKE_INSERT(InsertTStoreReceipt, TStoreReceiptRow, ComposeTStoreStatement)
  FAKE_INSERT(InsertP4StoreReceipt, P4StoreReceiptRow, ComposeP4StoreStatement)
  FAKE_INSERT(InsertOneStoreReceipt, OneStoreReceiptRow, ComposeOneStoreStatement)
#undef FAKE_INSERT

 private:
  static std::string Mark(const std::string& text) { return "<" + text + ">"; }
  void Record(std::string statement, const Done& done) {
    std::lock_guard<std::mutex> lock(mutex_);
    statements_.push_back(std::move(statement));
    boost::asio::post(*io_, [done, result = result_] { done(result); });
  }
  const std::shared_ptr<IoContext> io_;
  const Insert result_;
  std::mutex mutex_;
  std::vector<std::string> statements_;  // GUARDED_BY(mutex_)
};

// The client's end of a TCP connection: counts the answers sent on it.
class AnswerCollector : public Transport {
 public:
  bool Send(const Buffer& buffer, int) override {
    Biller::Response response;
    EXPECT_TRUE(response.ParseFromString(buffer.bytes()));
    if (count_++ == 0) first_.set_value(response);
    return true;
  }
  void Close() override {}
  std::atomic<int> count_ = 0;
  std::promise<Biller::Response> first_;
};

enum Store { kGoogle, kOneStore, kApple, kTStore, kP4 };

using Apple = FakeAppleStore;
using TStore = FakeTStore;

FakeResponse Ok(const Json& body) { return FakeResponse::Json(200, body); }
FakeResponse Ok(const char* body) { return FakeResponse::Raw(200, body); }
FakeResponse Status(int status) { return FakeResponse::Raw(status, "{}"); }
FakeResponse Google(int purchase_state) {
  return Ok(FakeGoogleStore::MakePurchase(purchase_state));
}
FakeResponse PlayStation(bool is_consumable, int use_count, int use_limit) {
  return Ok(FakePlayStation::Entitlement("ent", is_consumable, use_count, use_limit));
}
const FakeResponse kOneStorePurchase = Ok(FakeOneStore::MakePurchase(0));
const FakeResponse kApplePurchase = Apple::Verified({Apple::Purchase("gem", "1", "1001")});

struct Case {
  const char* name;
  Store store;
  std::vector<FakeResponse> answers;  // the purchase query's, the last repeating
  int answer;                         // the validation result, or the failure code
  const char* outcome;                // the outcome counter that moves, or null
  const char* statement = nullptr;    // the start of the insert made, or null for none
  int executions = 1;                 // validations counted (every failed attempt counts)
  Insert insert_result = BillerDatabase::kInsertSucceeded;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// What an insert's result answers is shared by every store: each result
// appears once, not once per store. Each store's exact row and its retry (the
// PlayStation platform's lack of one) end to end: StoreValidation; here the
// verdicts, the counters and that the insert's texts are escaped.
const Case kCases[] = {
    {"GoogleCancelled", kGoogle, {Google(1)}, V::kFailCancelledReceipt,
     "already_cancelled_receipts_count"},
    {"GooglePending", kGoogle, {Google(2)}, V::kFailPendingReceipt, nullptr},
    {"GoogleUnknownPurchase", kGoogle, {Status(404)}, V::kFailWrongReceipt,
     "wrong_receipts_count"},
    {"GoogleRetriedUntilItAnswers", kGoogle, {Status(503), Status(500), Google(0)}, V::kSuccess,
     "success_count",
     "CALL sp_insert_receipt_google_play2('<client>', '<player>', '<guest>', '<com.pkg>', "
     "'<gem>', '<tok\nE1207 forged>', '<androidpublisher#productPurchase>', '<1700000000123>', "
     "'<UTC>', 0, 1, '<GPA.1>', 1, 0, '<>') ",
     3},
    {"GoogleUnreachableGivesUp", kGoogle, {Status(503)}, kServiceProviderCommunicationError,
     nullptr, nullptr, 9},
    {"OneStoreRetried", kOneStore, {Status(502), kOneStorePurchase}, V::kFailAlreadyProvisioned,
     "already_provisioned_receipts_count",
     "CALL sp_insert_receipt_one_store('<client>', '<player>', '<guest>', FALSE, '<pid>', ", 2,
     BillerDatabase::kInsertDuplicated},
    {"AppleInvalid", kApple, {Apple::Status(21002)}, V::kFailWrongReceipt,
     "wrong_receipts_count"},
    {"AppleMissingProduct", kApple, {Apple::Verified({})}, V::kFailProductInformationNotFound,
     "wrong_receipts_count"},
    {"AppleRetried", kApple, {Status(500), kApplePurchase}, kDatabaseError,
     "database_error_count",
     "CALL sp_insert_receipt_apple_appstore('<client>', '<player>', '<guest>', FALSE, ", 2,
     BillerDatabase::kInsertFailed},
    {"TStoreInvalid", kTStore, {Ok(R"({"status":1,"detail":"9100","message":"no"})")},
     V::kFailWrongReceipt, "wrong_receipts_count"},
    {"TStoreProductMismatch", kTStore, {TStore::Confirmed({})}, kProductMismatch, nullptr},
    {"PlayStationNew", kP4, {PlayStation(true, 0, 5)}, V::kSuccess, "success_count",
     "CALL sp_insert_receipt_p4store('<client>', '<player>', '<guest>', "},
    {"PlayStationUseLimit", kP4, {PlayStation(true, 1, 1)}, V::kFailAlreadyProvisioned,
     "already_provisioned_receipts_count"},
    {"PlayStationNotConsumable", kP4, {PlayStation(false, 1, 5)}, V::kFailCancelledReceipt,
     "already_cancelled_receipts_count"},
};

// A client's text that would start a log line of its own if written raw, and
// a PlayStation authorization code: no log line may carry either.
constexpr char kForgedLine[] = "\nE1207 forged";
constexpr char kAuthCode[] = "auth-code-7";

// Each store's counters and the receipt its rows validate.
std::pair<ValidationStatistics*, std::string> StoreOf(Store store) {
  const std::pair<ValidationStatistics*, std::string> stores[] = {
      {&the_google_play_statistics,
       MakeGooglePlayReceipt("com.pkg", "gem", std::string("tok") + kForgedLine)},
      {&the_one_store_statistics, MakeOneStoreReceiptV5("pid", "com.pkg", "gem")},
      {&the_apple_statistics, MakeAppleAppStoreReceipt("MIIabc==", "gem", 1)},
      {&the_tstore_statistics, MakeOneStoreReceipt("tx", "app", "sig", {"gem"}, false)},
      {&the_p4store_statistics, MakeP4StoreReceipt("ent", 2, 7, kAuthCode)}};
  return stores[store];
}

class StoreFlowTest : public ::testing::TestWithParam<Case> {
 protected:
  static FakeResponse Token(const FakeRequest&) {
    return FakeResponse::Raw(200, R"({"access_token":"t","expires_in":3600})");
  }
  void SetUp() override {
    // Every store's purchase query gets the scripted answers; tokens are granted.
    const auto purchase = [this](const FakeRequest&) { return *answers_.Next("purchase"); };
    for (const char* method : {"GET", "POST"}) server_.Route(method, "/", purchase);
    answers_.Set("purchase", GetParam().answers);
    for (const char* path : {"/token", "/os/v2/oauth/token"}) server_.Route("POST", path, Token);
    server_.Route("GET", "/p4/baseUrls/entitlement", [this](const FakeRequest&) {
      return FakeResponse::Raw(200, R"({"url":")" + server_.Url() + R"("})");
    });
    const std::pair<const char*, const char*> kPaths[] = {
        {"google_oauth_token_url", "/token"}, {"p4_dev_token_url", "/token"},
        {"one_store_api_base", "/os"},        {"google_api_base", ""},
        {"apple_production_url", "/apple"},   {"tstore_production_url", "/tstore"},
        {"p4_dev_base_url_service", "/p4/baseUrls/"}};
    Json endpoints = Json::Object();
    for (const auto& [key, path] : kPaths) endpoints.SetString(key, server_.Url(path));
    std::string error;
    ASSERT_TRUE(SetStoreEndpoints(endpoints, &error)) << error;
    ArgumentMap arguments;
    ASSERT_TRUE(arguments.LoadFromString(
        R"({"p4_platform":{"environment":"dev","client_id":"c","secret":"s"}})", &error));
    ASSERT_TRUE(P4StoreAdapter::ParseP4PlatformArgument(arguments));

    the_io_service = io_.io();
    database_ = std::make_shared<FakeDatabase>(io_.io(), GetParam().insert_result);
    the_db_connection.store(database_);
    SetRetrySchedulerForTesting([this](int64_t, std::function<void()> retry) {
      boost::asio::post(*io_.io(), std::move(retry));
    });
    GooglePlayAdapter::SetIoService(io_.io());
    OneStoreAdapter::SetIoService(io_.io());
    // The flows take the token their session's authentication obtained.
    std::promise<void> google, one_store;
    const auto done = [](std::promise<void>* p) {
      return [p](const std::string&, const boost::system::error_code& ec) {
        EXPECT_FALSE(ec);
        p->set_value();
      };
    };
    GooglePlayAdapter::GetAccessToken(kGoogleClient, done(&google));
    OneStoreAdapter::GetAccessToken(kOneStoreClient, false, done(&one_store));
    ASSERT_EQ(google.get_future().wait_for(30s), std::future_status::ready);
    ASSERT_EQ(one_store.get_future().wait_for(30s), std::future_status::ready);
  }

  void TearDown() override {
    GooglePlayAdapter::Shutdown();
    OneStoreAdapter::Shutdown();
    SetRetrySchedulerForTesting([](int64_t delay, std::function<void()> retry) {
      RawTimer::ExpireAfter(delay, std::move(retry));
    });
    the_db_connection.store(nullptr);
    the_io_service.reset();
    std::string error;
    SetStoreEndpoints(Json(), &error);
  }

  inline static const GoogleOAuthClient kGoogleClient{"gp-client", "secret", "refresh"};
  inline static const OneStoreClient kOneStoreClient{"os-client", "secret"};

  std::shared_ptr<Request> MakeRequest(const std::shared_ptr<Transport>& client) {
    auto session = GetOrCreateClientSession(RandomGenerator::GenerateUuid());
    session->set_state(ClientSession::kAuthenticated);
    session->set_client_id("client");
    session->set_gp_token_key(GooglePlayAdapter::TokenKey(kGoogleClient));
    session->set_os_token_key(OneStoreAdapter::TokenKey(kOneStoreClient));
    auto message = std::make_shared<Biller::Request>(
        MakeValidationRequest(StoreOf(GetParam().store).second, false, "player"));
    return Request::CreateForTcp(client, session, message);
  }

  // Returns once what the io context had queued, and what that queued, has run.
  void Settle() {
    for (int round = 0; round < 2; ++round) {
      std::promise<void> ran;
      boost::asio::post(*io_.io(), [&ran] { ran.set_value(); });
      ran.get_future().wait();
    }
  }

  FakeHttpServer server_;
  ScriptedAnswers answers_;
  TestIoContext io_{1};
  std::shared_ptr<FakeDatabase> database_;
};

TEST_P(StoreFlowTest, OneAnswerItsCountsAndItsInsert) {
  const Case& c = GetParam();
  ValidationStatistics& statistics = *StoreOf(c.store).first;
  // Every counter of the store, and the total's executions.
  const auto counters = [&] {
    std::map<std::string, int64_t> out;
    const Json all_time = statistics.ToJson()["all_time"];
    for (const std::string& name : all_time.GetAttributeNames()) {
      if (name.ends_with("_count")) out[name] = all_time[name].GetInteger();
    }
    out["total"] = the_total_statistics.ToJson()["all_time"]["execution_count"].GetInteger();
    return out;
  };
  const std::map<std::string, int64_t> before = counters();

  LogCapture log;
  auto client = std::make_shared<AnswerCollector>();
  boost::asio::post(*io_.io(), [request = MakeRequest(client)] {
    BillingAgent::OnReceiptValidationRequested(request);
  });
  auto first = client->first_.get_future();
  ASSERT_EQ(first.wait_for(30s), std::future_status::ready) << "no answer";
  const Biller::Response answer = first.get();
  Settle();

  EXPECT_EQ(client->count_, 1);
  EXPECT_EQ(ResultOf(answer), c.answer);
  std::map<std::string, int64_t> moved, expected = {{"execution_count", c.executions},
                                                    {"total", c.executions}};
  if (c.outcome) expected[c.outcome] = 1;
  for (const auto& [name, value] : counters()) {
    if (value != before.at(name)) moved[name] = value - before.at(name);
  }
  EXPECT_EQ(moved, expected);
  for (const auto severity : {google::GLOG_INFO, google::GLOG_WARNING, google::GLOG_ERROR}) {
    EXPECT_EQ(log.Count(severity, kForgedLine) + log.Count(severity, kAuthCode), 0)
        << "a client's raw text or an authorization code reached a log line";
  }
  const std::vector<std::string> statements = database_->statements();
  ASSERT_EQ(statements.size(), c.statement ? 1u : 0u);
  if (c.statement) { EXPECT_EQ(statements.front().substr(0, strlen(c.statement)), c.statement); }
}

INSTANTIATE_TEST_SUITE_P(Rows, StoreFlowTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tvx::testing
