#include "tests/support/validation_client.h"

#include <fstream>
#include <sstream>
#include <thread>

namespace tvx::testing {

ValidationClient::ValidationClient(const BillerProcess& biller, const std::string& client_id) {
  if (!tcp_.Connect(biller.tcp_port())) return;
  const Biller::Request request = MakeAuthenticationRequest(client_id);
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
  return response;
}

bool ValidationClient::Send(const std::string& receipt) {
  return tcp_.Send(MakeValidationRequest(receipt));
}

bool ValidationClient::Receive(Biller::Response* response, std::chrono::milliseconds timeout) {
  return tcp_.Receive(response, timeout);
}

int64_t ResultOf(const Biller::Response& response) {
  if (response.has_fail()) return response.fail().code();
  if (response.has_receipt_validation()) return response.receipt_validation().result();
  return -1;
}

bool HasCounts(const Json& block, const std::map<std::string, int64_t>& expected) {
  for (const auto& [name, count] : expected) {
    if (!block.HasAttribute(name, Json::kInteger) || block.GetInteger(name) != count) return false;
  }
  return true;
}

Json AwaitAllTimeCounts(const BillerProcess& biller, const std::string& store,
                        const std::map<std::string, int64_t>& expected,
                        std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  Json block;
  while (true) {
    const HttpResult result =
        HttpGet(biller.api_port(), "/v1/counters/biller/validation_profiling");
    Json counters;
    if (result.status == 200 && counters.FromString(result.body)) {
      block = counters[store]["all_time"];
      if (HasCounts(block, expected)) return block;
    }
    if (std::chrono::steady_clock::now() > deadline) return block;
    std::this_thread::sleep_for(20ms);
  }
}

std::vector<std::vector<std::string>> QueryRows(const BillerProcess& biller,
                                                const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  const auto output = RunSql(TestDatabase::FromEnvironment(), biller.database(), sql);
  if (!output) return rows;
  std::istringstream lines(*output);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> columns;
    size_t start = 0;
    while (true) {
      const size_t tab = line.find('\t', start);
      columns.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    rows.push_back(std::move(columns));
  }
  return rows;
}

std::vector<Json> ActivityRecords(const BillerProcess& biller, const std::string& log_name) {
  std::vector<Json> records;
  std::ifstream file(biller.work_dir() + "/activity_logs/" + log_name + ".jsonl");
  std::string line;
  while (std::getline(file, line)) {
    Json record;
    record.FromString(line);
    records.push_back(record);
  }
  return records;
}

}  // namespace tvx::testing
