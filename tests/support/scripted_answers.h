// Scripted answers of a fake store, by a key the request carries (a receipt,
// a transaction id): each request takes the next answer of its key's list,
// and the last answer repeats. So "fail twice, then succeed" is three
// answers. Thread-safe.
#ifndef TESTS_SUPPORT_SCRIPTED_ANSWERS_H_
#define TESTS_SUPPORT_SCRIPTED_ANSWERS_H_

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/fake_store_server.h"

namespace tvx::testing {

class ScriptedAnswers {
 public:
  void Set(const std::string& key, std::vector<FakeResponse> answers) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_[key] = std::deque<FakeResponse>(answers.begin(), answers.end());
  }

  // nullopt when nothing is scripted for `key`.
  std::optional<FakeResponse> Next(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = scripts_.find(key);
    if (it == scripts_.end() || it->second.empty()) return std::nullopt;
    FakeResponse answer = it->second.front();
    if (it->second.size() > 1) it->second.pop_front();
    return answer;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::deque<FakeResponse>> scripts_;  // GUARDED_BY(mutex_)
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_SCRIPTED_ANSWERS_H_
