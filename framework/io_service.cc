#include "framework/io_service.h"

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <glog/logging.h>

namespace tvx {
namespace {

// One io_context per thread: a connection, its timers and its store requests
// stay on the thread that accepted them, so the hot path takes no strand or
// scheduler lock another thread is waiting on and wakes no other thread.
struct IoGroup {
  std::vector<std::shared_ptr<IoContext>> contexts;
  std::vector<boost::asio::executor_work_guard<IoContext::executor_type>> work;
  std::vector<std::thread> threads;
  std::shared_ptr<std::atomic<size_t>> next = std::make_shared<std::atomic<size_t>>(0);
};

std::mutex groups_mutex;
std::map<std::string, IoGroup> groups;  // GUARDED_BY(groups_mutex)

// The group and context of the calling thread, when it is a group thread.
thread_local const std::string* current_group = nullptr;
thread_local std::shared_ptr<IoContext> current_context;

std::shared_ptr<IoContext> NextOf(const IoGroup& group) {
  return group.contexts[group.next->fetch_add(1, std::memory_order_relaxed) %
                        group.contexts.size()];
}

}  // namespace

std::shared_ptr<IoContext> IoService::GetIoGroup(const std::string& name) {
  if (current_group != nullptr && *current_group == name) return current_context;
  std::lock_guard<std::mutex> lock(groups_mutex);
  auto it = groups.find(name);
  return it == groups.end() ? nullptr : NextOf(it->second);
}

std::shared_ptr<IoContext> IoService::NextIoContext(const std::string& name) {
  std::lock_guard<std::mutex> lock(groups_mutex);
  auto it = groups.find(name);
  return it == groups.end() ? nullptr : NextOf(it->second);
}

bool IoService::CreateIoGroup(const std::string& name, int threads) {
  if (threads < 1) return false;
  std::lock_guard<std::mutex> lock(groups_mutex);
  if (groups.count(name)) return false;
  auto inserted = groups.emplace(name, IoGroup());
  const std::string* group_name = &inserted.first->first;
  IoGroup& group = inserted.first->second;
  for (int i = 0; i < threads; ++i) {
    // Each context is run by one thread; others only post to it.
    auto context = std::make_shared<IoContext>(1);
    group.contexts.push_back(context);
    group.work.push_back(boost::asio::make_work_guard(*context));
    group.threads.emplace_back([context, group_name] {
      current_group = group_name;
      current_context = context;
      // A handler that throws is a bug in that handler; log it and keep the
      // loop alive for every other connection.
      for (;;) {
        try {
          context->run();
          break;
        } catch (const std::exception& e) {
          LOG(ERROR) << "IoService: handler threw: " << e.what();
        }
      }
      current_context.reset();
      current_group = nullptr;
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
    group.work.clear();
    for (auto& context : group.contexts) context->stop();
  }
  for (auto& [name, group] : doomed) {
    for (auto& t : group.threads) t.join();
  }
}

}  // namespace tvx
