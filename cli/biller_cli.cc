// biller-cli: sends one authentication and one receipt validation to a biller
// and prints the answers as one JSON object:
//   {"authentication": N, "result": N, "decoded_receipt": ...}
// Exit status: 0 when the validation result is 0, 3 for any other result, 2
// for a usage or connection error.
#include <cstdio>
#include <fstream>
#include <future>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <glog/logging.h>

#include "framework/biller.pb.h"
#include "framework/billing_message_writer.h"
#include "framework/billing_store.h"
#include "framework/http_client.h"
#include "framework/io_service.h"
#include "framework/json.h"
#include "framework/tcp_client.h"
#include "framework/uuid.h"

namespace tvx::cli {
namespace {

constexpr int kUsageOrConnectionError = 2;
constexpr int kNotValidated = 3;
constexpr auto kTimeout = std::chrono::seconds(60);
constexpr char kUsage[] =
    "usage: biller-cli (--tcp=HOST:PORT | --http=http[s]://HOST:PORT) [--tls_ca_file=F]\n"
    "                  [--tls_cert_file=F --tls_key_file=F]\n"
    "                  [--client_id=ID] [--auth_key_file=F]... --receipt_file=F|-\n"
    "                  [--player_id=P] [--player_service_provider=S] [--fill]\n"
    "Sends one authentication (with the store credentials of each auth key file)\n"
    "and one validation of the receipt (a JSON object naming its \"service_provider\"),\n"
    "and prints {\"authentication\": N, \"result\": N, \"decoded_receipt\": ...}.\n"
    "--tls_ca_file: speak TLS and verify the server against these CAs (with --tcp;\n"
    "--http takes https://); --tls_cert_file, --tls_key_file: a client certificate\n"
    "for --tcp.\n"
    "Exit status: 0 validated, 3 any other result, 2 usage or connection error.\n";

struct Options {
  std::string tcp;
  std::string http;
  std::string tls_ca_file;
  std::string tls_cert_file;
  std::string tls_key_file;
  std::string client_id = "biller-cli";
  std::vector<std::string> auth_key_files;
  std::string receipt_file;
  std::string player_id = "player-1";
  std::string player_service_provider = "guest";
  bool fill = false;
};

bool ParseArguments(int argc, char** argv, Options* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : arg.substr(eq + 1);
    if (name == "--fill" && eq == std::string::npos) {
      options->fill = true;
      continue;
    }
    if (eq == std::string::npos) {
      *error = "unknown argument " + arg;
      return false;
    }
    if (name == "--tcp") options->tcp = value;
    else if (name == "--http") options->http = value;
    else if (name == "--tls_ca_file") options->tls_ca_file = value;
    else if (name == "--tls_cert_file") options->tls_cert_file = value;
    else if (name == "--tls_key_file") options->tls_key_file = value;
    else if (name == "--client_id") options->client_id = value;
    else if (name == "--auth_key_file") options->auth_key_files.push_back(value);
    else if (name == "--receipt_file") options->receipt_file = value;
    else if (name == "--player_id") options->player_id = value;
    else if (name == "--player_service_provider") options->player_service_provider = value;
    else {
      *error = "unknown argument " + arg;
      return false;
    }
  }
  if (options->tcp.empty() == options->http.empty()) {
    *error = "give exactly one of --tcp and --http";
  } else if (options->receipt_file.empty()) {
    *error = "--receipt_file is required";
  } else if (options->tls_cert_file.empty() != options->tls_key_file.empty()) {
    *error = "give both --tls_cert_file and --tls_key_file, or neither";
  } else if (!options->tls_cert_file.empty() &&
             (options->tcp.empty() || options->tls_ca_file.empty())) {
    *error = "a client certificate needs --tcp and --tls_ca_file";
  }
  return error->empty();
}

// Every step below returns false with the reason in `error` when it fails;
// the program then ends with status 2.

bool ReadFile(const std::string& path, std::string* text, std::string* error) {
  std::ostringstream content;
  if (path == "-") {
    content << std::cin.rdbuf();
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      *error = "cannot read " + path;
      return false;
    }
    content << in.rdbuf();
  }
  *text = content.str();
  return true;
}

struct Answers {
  int64_t authentication = -1;
  int64_t result = -1;
  Json decoded_receipt;  // null when none
};

// --- TCP ----------------------------------------------------------------------

bool Exchange(FramedTcpClient* client, const Biller::Request& request,
              Biller::Response* response, std::string* error) {
  std::string body;
  if (!client->Send(request.SerializeAsString(), kTimeout, error)) {
    *error = "cannot send: " + *error;
    return false;
  }
  if (!client->Receive(&body, 64 << 20, kTimeout, error)) {
    *error = "no answer: " + *error;
    return false;
  }
  if (!response->ParseFromString(body) || response->request_uuid() != request.request_uuid()) {
    *error = "the answer is not a response to the request";
    return false;
  }
  return true;
}

bool ValidateOverTcp(const Options& options, const std::vector<std::string>& auth_keys,
                     const std::string& receipt, Answers* answers, std::string* error) {
  const size_t colon = options.tcp.rfind(':');
  const int port = colon == std::string::npos ? 0 : std::atoi(options.tcp.c_str() + colon + 1);
  if (port <= 0 || port > 65535) {
    *error = "--tcp must be HOST:PORT";
    return false;
  }
  FramedTcpClient client;
  if (!options.tls_cert_file.empty() &&
      !client.UseClientCertificate(options.tls_cert_file, options.tls_key_file, error)) {
    return false;
  }
  if (!client.Connect(options.tcp.substr(0, colon), static_cast<uint16_t>(port),
                      options.tls_ca_file, kTimeout, error)) {
    *error = "cannot connect to " + options.tcp + ": " + *error;
    return false;
  }
  Biller::Response authenticated, validated;
  if (!Exchange(&client,
                *BillingMessageWriter::CreateAuthenticationRequest(
                    RandomGenerator::GenerateUuid(), options.client_id, "", auth_keys),
                &authenticated, error)) {
    return false;
  }
  answers->authentication = authenticated.type() == Biller::kFailure
                                ? authenticated.fail().code()
                                : static_cast<int64_t>(authenticated.authentication().result());
  if (!Exchange(&client,
                *BillingMessageWriter::CreateReceiptValidationRequest(
                    RandomGenerator::GenerateUuid(), options.player_id,
                    options.player_service_provider, receipt, options.fill),
                &validated, error)) {
    return false;
  }
  if (validated.type() == Biller::kFailure) {
    answers->result = validated.fail().code();
    return true;
  }
  answers->result = validated.receipt_validation().result();
  const std::string& decoded = validated.receipt_validation().decoded_receipt();
  if (!decoded.empty() && !answers->decoded_receipt.FromString(decoded)) {
    answers->decoded_receipt = Json(decoded);
  }
  return true;
}

// --- HTTP ---------------------------------------------------------------------

// The members of the HTTP authentication body that carry an auth key.
bool AddAuthKeyMembers(const std::string& key, Json* body, std::string* error) {
  Json json;
  if (!json.FromString(key) || !json.IsObject()) {
    *error = "an auth key is not a JSON object";
    return false;
  }
  const std::string store =
      json.HasAttribute(kBillingServiceProviderKey, Json::kString)
          ? json.GetString(kBillingServiceProviderKey)
          : std::string();
  auto copy = [&](const char* from, const std::string& to) {
    if (json.HasAttribute(from, Json::kString)) body->SetString(to, json.GetString(from));
  };
  if (store == kGooglePlayName) {
    for (const char* member :
         {"private_key", "client_email", "client_id", "client_secret", "refresh_token"}) {
      copy(member, std::string("google_play_") + member);
    }
  } else if (store == kOneStoreName) {
    copy("client_id", "one_store_client_id");
    copy("client_secret", "one_store_client_secret");
  } else {
    *error = "over HTTP only GooglePlay and OneStore auth keys can be sent";
    return false;
  }
  return true;
}

// The validation path and body of a receipt (the receipt's members, with
// OneStore's product member spelled as the endpoint reads it).
bool HttpValidation(const Json& receipt, const std::string& session, const Options& options,
                    std::string* path, Json* body, std::string* error) {
  const std::string store = receipt.HasAttribute(kBillingServiceProviderKey, Json::kString)
                                ? receipt.GetString(kBillingServiceProviderKey)
                                : std::string();
  if (store == kGooglePlayName) {
    *path = "/v1/validation/googleplay";
  } else if (store == kAppleAppStoreName) {
    *path = "/v1/validation/appleappstore";
  } else if (store == kTStoreName) {
    *path = "/v1/validation/tstore";
  } else if (store == kOneStoreName) {
    *path = "/v1/validation/onestore";
  } else {
    *error = "over HTTP the receipt's service_provider must be GooglePlay, AppleAppStore, "
             "TStore or OneStore";
    return false;
  }
  *body = receipt;
  if (store == kOneStoreName && body->HasAttribute("product_id")) {
    body->SetAttribute("prodouct_id", body->GetAttribute("product_id"));
  }
  body->SetString("sessionid", session);
  body->SetString("player_id", options.player_id);
  body->SetString("player_service_provider", options.player_service_provider);
  return true;
}

bool Post(HttpClient* client, const std::string& url, const Json& body, Json* json,
          std::string* error) {
  std::promise<std::pair<http::TransportCode, http::Response>> answer;
  client->PostAsync(url, std::make_shared<const std::string>(body.ToString()),
                    [&answer](http::TransportCode code, const http::Response& response) {
                      answer.set_value({code, response});
                    },
                    0);
  const auto [code, response] = answer.get_future().get();
  if (code != http::TransportCode::kOk) {
    *error = url + ": " + http::DescribeTransportCode(code);
    return false;
  }
  if (response.status_code != 200 || !json->FromString(response.body) || !json->IsObject() ||
      !json->HasAttribute("result", Json::kInteger)) {
    *error = url + ": HTTP " + std::to_string(response.status_code) + ": " + response.body;
    return false;
  }
  return true;
}

bool ValidateOverHttp(const Options& options, const std::vector<std::string>& auth_keys,
                      const std::string& receipt_text, Answers* answers, std::string* error) {
  Json receipt;
  if (!receipt.FromString(receipt_text) || !receipt.IsObject()) {
    *error = "the receipt is not a JSON object";
    return false;
  }
  std::string base = options.http;
  while (!base.empty() && base.back() == '/') base.pop_back();
  if (base.rfind("http://", 0) != 0 && base.rfind("https://", 0) != 0) {
    *error = "--http must be http://HOST:PORT or https://HOST:PORT";
    return false;
  }
  IoService::CreateIoGroup("cli", 1);
  HttpClient client(IoService::GetIoGroup("cli"));
  client.SetHeader("Content-Type", "application/json");
  client.SetTimeouts(10000, 60000);
  if (!options.tls_ca_file.empty()) client.SetCaFile(options.tls_ca_file);

  Json authentication = Json::Object();
  authentication.SetString("biller_client_id", options.client_id);
  for (const std::string& key : auth_keys) {
    if (!AddAuthKeyMembers(key, &authentication, error)) return false;
  }
  Json authenticated, validated, body;
  std::string path;
  if (!Post(&client, base + "/v1/authentication", authentication, &authenticated, error)) {
    return false;
  }
  answers->authentication = authenticated.GetInteger("result");
  const std::string session = authenticated.HasAttribute("sessionid", Json::kString)
                                  ? authenticated.GetString("sessionid")
                                  : std::string();
  if (!HttpValidation(receipt, session, options, &path, &body, error) ||
      !Post(&client, base + path, body, &validated, error)) {
    return false;
  }
  answers->result = validated.GetInteger("result");
  return true;
}

int Main(int argc, char** argv) {
  Options options;
  std::string error;
  if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  if (!ParseArguments(argc, argv, &options, &error)) {
    std::cerr << "biller-cli: " << error << "\n" << kUsage;
    return kUsageOrConnectionError;
  }
  std::vector<std::string> auth_keys(options.auth_key_files.size());
  std::string receipt;
  Answers answers;
  bool ok = ReadFile(options.receipt_file, &receipt, &error);
  for (size_t i = 0; ok && i < auth_keys.size(); ++i) {
    ok = ReadFile(options.auth_key_files[i], &auth_keys[i], &error);
  }
  ok = ok && (options.tcp.empty()
                  ? ValidateOverHttp(options, auth_keys, receipt, &answers, &error)
                  : ValidateOverTcp(options, auth_keys, receipt, &answers, &error));
  if (!ok) {
    std::cerr << "biller-cli: " << error << std::endl;
    return kUsageOrConnectionError;
  }
  Json out = Json::Object();
  out.SetAttribute("authentication", Json(answers.authentication));
  out.SetAttribute("result", Json(answers.result));
  out.SetAttribute("decoded_receipt", answers.decoded_receipt);
  std::cout << out.ToString() << std::endl;
  return answers.result == 0 ? 0 : kNotValidated;
}

}  // namespace
}  // namespace tvx::cli

int main(int argc, char** argv) {
  FLAGS_logtostderr = true;
  FLAGS_minloglevel = google::GLOG_ERROR;
  google::InitGoogleLogging(argv[0]);
  const int status = tvx::cli::Main(argc, argv);
  tvx::IoService::DestroyAll();
  return status;
}
