#include "framework/io_service.h"

#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <glog/logging.h>

namespace tvx {
namespace {

struct IoGroup {
  std::shared_ptr<IoContext> context;
  std::unique_ptr<boost::asio::executor_work_guard<IoContext::executor_type>> work;
  std::vector<std::thread> threads;
};

std::mutex groups_mutex;
std::map<std::string, IoGroup> groups;  // GUARDED_BY(groups_mutex)

}  // namespace

std::shared_ptr<IoContext> IoService::GetIoGroup(const std::string& name) {
  std::lock_guard<std::mutex> lock(groups_mutex);
  auto it = groups.find(name);
  return it == groups.end() ? nullptr : it->second.context;
}

bool IoService::CreateIoGroup(const std::string& name, int threads) {
  if (threads < 1) return false;
  std::lock_guard<std::mutex> lock(groups_mutex);
  if (groups.count(name)) return false;
  IoGroup& group = groups[name];
  group.context = std::make_shared<IoContext>(threads);
  group.work = std::make_unique<boost::asio::executor_work_guard<IoContext::executor_type>>(
      group.context->get_executor());
  for (int i = 0; i < threads; ++i) {
    group.threads.emplace_back([context = group.context] {
      // A handler that throws is a bug in that handler; log it and keep the
      // loop alive for every other connection.
      for (;;) {
        try {
          context->run();
          return;
        } catch (const std::exception& e) {
          LOG(ERROR) << "IoService: handler threw: " << e.what();
        }
      }
    });
  }
  return true;
}

void IoService::DestroyAll() {
  std::map<std::string, IoGroup> doomed;
  {
    std::lock_guard<std::mutex> lock(groups_mutex);
    doomed.swap(groups);
  }
  for (auto& [name, group] : doomed) {
    group.work.reset();
    group.context->stop();
  }
  for (auto& [name, group] : doomed) {
    for (auto& t : group.threads) t.join();
  }
}

}  // namespace tvx
