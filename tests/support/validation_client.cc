#include "tests/support/validation_client.h"

#include <fstream>
#include <sstream>

#include <boost/algorithm/string.hpp>

#include "tests/support/eventually.h"

namespace tvx::testing {

ValidationClient::ValidationClient(const BillerProcess& biller, const std::string& client_id,
                                   const std::vector<std::string>& auth_keys) {
  if (!tcp_.Connect(biller.tcp_port())) return;
  const Biller::Request request = MakeAuthenticationRequest(client_id, auth_keys);
  Biller::Response response;
  ok_ = tcp_.Send(request) && tcp_.Receive(&response) &&
        response.request_uuid() == request.request_uuid() &&
        response.authentication().result() == Biller::Authentication_Response::kSuccess;
}

Biller::Response ValidationClient::Validate(const std::string& receipt, bool fill_decoded_receipt,
                                            const std::string& player_id,
                                            const std::string& player_service_provider) {
  const Biller::Request request =
      MakeValidationRequest(receipt, fill_decoded_receipt, player_id, player_service_provider);
  Biller::Response response;
  if (!tcp_.Send(request) || !tcp_.Receive(&response)) return Biller::Response();
  EXPECT_EQ(response.request_uuid(), request.request_uuid());
  return response;
}

std::string OpenHttpSession(const BillerProcess& biller, Json credentials) {
  credentials.SetString("biller_client_id", "game-server-1");
  const HttpResult result =
      HttpPost(biller.http_port(), "/v1/authentication", credentials.ToString());
  Json answer;
  if (!answer.FromString(result.body) || answer.GetInteger("result") != 0) {
    ADD_FAILURE() << "HTTP authentication refused: " << result.body;
    return "";
  }
  return answer.GetString("sessionid");
}

int64_t ValidateOverHttp(const BillerProcess& biller, const std::string& path,
                         const std::string& session, Json members, const std::string& player_id) {
  members.SetString("sessionid", session);
  members.SetString("player_id", player_id);
  members.SetString("player_service_provider", "guest");
  const HttpResult result = HttpPost(biller.http_port(), path, members.ToString());
  Json answer;
  return answer.FromString(result.body) ? answer.GetInteger("result") : -1;
}

int64_t ResultOf(const Biller::Response& response) {
  if (response.has_fail()) return response.fail().code();
  if (response.has_receipt_validation()) return response.receipt_validation().result();
  return -1;
}

std::vector<std::vector<std::string>> QueryRows(const BillerProcess& biller,
                                                const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(
      RunSql(TestDatabase::FromEnvironment(), biller.database(), sql).value_or(""));
  for (std::string line; std::getline(lines, line);) {
    boost::split(rows.emplace_back(), line, boost::is_any_of("\t"));
  }
  return rows;
}

std::vector<Json> ActivityRecords(const BillerProcess& biller, const std::string& log_name) {
  std::vector<Json> records;
  std::ifstream file(biller.work_dir() + "/activity_logs/" + log_name + ".jsonl");
  for (std::string line; std::getline(file, line);) records.emplace_back().FromString(line);
  return records;
}

Json StoreArguments(const Json& endpoints) {
  Json arguments = Json::Object();
  arguments.SetAttribute("store_endpoints", endpoints);
  return arguments;
}

void StoreValidationTest::SetUp() {
  if (!TestDatabase::FromEnvironment().available()) GTEST_SKIP() << "no BILLER_TEST_MYSQL_URL";
}

void StoreValidationTest::Start(const Json& arguments, std::vector<std::string> flags,
                                const std::vector<std::string>& auth_keys) {
  flags.insert(flags.begin(), "--http_client_timeout_ms=2000");
  biller_ = std::make_unique<BillerProcess>(
      BillerOptions{.flags = std::move(flags), .arguments_json = arguments.ToString()});
  ASSERT_TRUE(biller_->running()) << biller_->Log();
  client_ = std::make_unique<ValidationClient>(*biller_, "game-server-1", auth_keys);
  ASSERT_TRUE(client_->ok()) << biller_->Log();
}

void StoreValidationTest::ExpectCounts(const std::string& store,
                                       const std::map<std::string, int64_t>& expected) {
  for (const std::string& name : {store, std::string("total")}) {
    Json block;
    EXPECT_TRUE(Eventually([&] {
      Json counters;
      counters.FromString(
          HttpGet(biller_->api_port(), "/v1/counters/biller/validation_profiling").body);
      block = counters[name]["all_time"];
      return std::ranges::all_of(expected, [&](const auto& counter) {
        return block.HasAttribute(counter.first, Json::kInteger) &&
               block.GetInteger(counter.first) == counter.second;
      });
    })) << name << ": " << block.ToString();
  }
}

}  // namespace tvx::testing
