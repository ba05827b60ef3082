// Test support: named points threads reach, so a test orders threads by what
// they have done and never by how long it waited.
#pragma once

#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <set>
#include <string>

namespace velmora_test {

class Milestones {
 public:
  void Reach(const std::string& name) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      reached_.insert(name);
    }
    changed_.notify_all();
  }
  bool Reached(const std::string& name) {
    std::lock_guard<std::mutex> hold(lock_);
    return reached_.count(name) != 0;
  }
  // Reaches `name` unless it was reached before; true for the one caller that did.
  bool ReachFirst(const std::string& name) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (!reached_.insert(name).second) return false;
    }
    changed_.notify_all();
    return true;
  }
  // Blocks until one of `names` is reached and returns the first of them, in
  // the order given, that has been.
  std::string AwaitAny(std::initializer_list<std::string> names) {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      for (const std::string& name : names)
        if (reached_.count(name)) return name;
      changed_.wait(hold);
    }
  }
  void Await(const std::string& name) { AwaitAny({name}); }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::set<std::string> reached_;
};

}  // namespace velmora_test
