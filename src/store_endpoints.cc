#include "src/store_endpoints.h"

#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

namespace tvx {
namespace {

// How a member's value must end.
enum class Ending { kAny, kNoSlash, kBaseUrls };

struct Member {
  const char* name;
  std::string StoreEndpoints::*field;
  Ending ending;
};

const std::vector<Member>& Members() {
  static const std::vector<Member> members = {
      {"google_oauth_token_url", &StoreEndpoints::google_oauth_token_url, Ending::kAny},
      {"google_jwt_token_url", &StoreEndpoints::google_jwt_token_url, Ending::kAny},
      {"google_api_base", &StoreEndpoints::google_api_base, Ending::kNoSlash},
      {"one_store_api_base", &StoreEndpoints::one_store_api_base, Ending::kNoSlash},
      {"one_store_test_api_base", &StoreEndpoints::one_store_test_api_base, Ending::kNoSlash},
      {"apple_production_url", &StoreEndpoints::apple_production_url, Ending::kAny},
      {"apple_sandbox_url", &StoreEndpoints::apple_sandbox_url, Ending::kAny},
      {"apple_server_api_production_base", &StoreEndpoints::apple_server_api_production_base,
       Ending::kNoSlash},
      {"apple_server_api_sandbox_base", &StoreEndpoints::apple_server_api_sandbox_base,
       Ending::kNoSlash},
      {"tstore_production_url", &StoreEndpoints::tstore_production_url, Ending::kAny},
      {"tstore_development_url", &StoreEndpoints::tstore_development_url, Ending::kAny},
      {"p4_dev_token_url", &StoreEndpoints::p4_dev_token_url, Ending::kAny},
      {"p4_qa_token_url", &StoreEndpoints::p4_qa_token_url, Ending::kAny},
      {"p4_production_token_url", &StoreEndpoints::p4_production_token_url, Ending::kAny},
      {"p4_dev_base_url_service", &StoreEndpoints::p4_dev_base_url_service, Ending::kBaseUrls},
      {"p4_qa_base_url_service", &StoreEndpoints::p4_qa_base_url_service, Ending::kBaseUrls},
      {"p4_production_base_url_service", &StoreEndpoints::p4_production_base_url_service,
       Ending::kBaseUrls},
  };
  return members;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Empty when `value` fits `member`; else why not.
std::string CheckValue(const Member& member, const std::string& value) {
  std::string_view rest;
  if (StartsWith(value, "http://")) {
    rest = std::string_view(value).substr(7);
  } else if (StartsWith(value, "https://")) {
    rest = std::string_view(value).substr(8);
  } else {
    return "must start with http:// or https://";
  }
  if (rest.empty() || rest.front() == '/') return "has no host";
  for (char c : value) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) {
      return "must not contain spaces or control characters";
    }
  }
  if (member.ending == Ending::kNoSlash && EndsWith(value, "/")) {
    return "must not end with '/'";
  }
  if (member.ending == Ending::kBaseUrls && !EndsWith(value, "/baseUrls/")) {
    return "must end with \"/baseUrls/\"";
  }
  return std::string();
}

std::mutex endpoints_mutex;
std::shared_ptr<const StoreEndpoints> the_endpoints;  // GUARDED_BY(endpoints_mutex)

}  // namespace

StoreEndpoints StoreEndpoints::Defaults() {
  StoreEndpoints e;
  e.google_oauth_token_url = "https://accounts.google.com/o/oauth2/token";
  e.google_jwt_token_url = "https://www.googleapis.com/oauth2/v4/token";
  e.google_api_base = "https://www.googleapis.com";
  e.one_store_api_base = "https://apis.onestore.co.kr";
  e.one_store_test_api_base = "https://sbpp.onestore.co.kr";
  e.apple_production_url = "https://buy.itunes.apple.com/verifyReceipt";
  e.apple_sandbox_url = "https://sandbox.itunes.apple.com/verifyReceipt";
  e.apple_server_api_production_base = "https://api.storekit.apple.com";
  e.apple_server_api_sandbox_base = "https://api.storekit-sandbox.apple.com";
  e.tstore_production_url = "https://iap.tstore.co.kr/digitalsignconfirm.iap";
  e.tstore_development_url = "https://iapdev.tstore.co.kr/digitalsignconfirm.iap";
  e.p4_dev_token_url = "https://auth.api.sp-int.ac.playstation.net/2.0/oauth/token";
  e.p4_qa_token_url = "https://auth.api.prod-qa.ac.playstation.net/2.0/oauth/token";
  e.p4_production_token_url = "https://auth.api.np.ac.playstation.net/2.0/oauth/token";
  e.p4_dev_base_url_service =
      "https://asm.sp-int.community.playstation.net/asm/v1/apps/me/baseUrls/";
  e.p4_qa_base_url_service =
      "https://asm.prod-qa.community.playstation.net/asm/v1/apps/me/baseUrls/";
  e.p4_production_base_url_service =
      "https://asm.np.community.playstation.net/asm/v1/apps/me/baseUrls/";
  return e;
}

std::shared_ptr<const StoreEndpoints> GetStoreEndpoints() {
  std::lock_guard<std::mutex> lock(endpoints_mutex);
  if (!the_endpoints) the_endpoints = std::make_shared<const StoreEndpoints>(StoreEndpoints::Defaults());
  return the_endpoints;
}

bool SetStoreEndpoints(const Json& overrides, std::string* error) {
  StoreEndpoints endpoints = StoreEndpoints::Defaults();
  if (!overrides.IsNull()) {
    if (!overrides.IsObject()) {
      *error = "store_endpoints must be an object of strings";
      return false;
    }
    for (const std::string& name : overrides.GetAttributeNames()) {
      const Member* member = nullptr;
      for (const Member& m : Members()) {
        if (name == m.name) member = &m;
      }
      if (!member) {
        *error = "store_endpoints: unknown member \"" + name + "\"";
        return false;
      }
      const Json value = overrides[name];
      if (!value.IsString()) {
        *error = "store_endpoints: \"" + name + "\" must be a string";
        return false;
      }
      const std::string why = CheckValue(*member, value.GetString());
      if (!why.empty()) {
        *error = "store_endpoints: \"" + name + "\" " + why;
        return false;
      }
      endpoints.*(member->field) = value.GetString();
    }
  }
  auto made = std::make_shared<const StoreEndpoints>(std::move(endpoints));
  std::lock_guard<std::mutex> lock(endpoints_mutex);
  the_endpoints = std::move(made);
  return true;
}

}  // namespace tvx
