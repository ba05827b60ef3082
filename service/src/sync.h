// Velmora client library: the locks and the thread it needs, on top of the
// platform's own primitives on Windows (mingw-w64's win32 thread model has no
// std::mutex or std::thread) and of the C++ library elsewhere.
#pragma once

#include <functional>
#include <memory>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <mutex>
#include <shared_mutex>
#include <thread>
#endif

namespace velmora {
namespace detail {

#ifdef _WIN32

class SharedMutex {
 public:
  SharedMutex() { InitializeSRWLock(&lock_); }
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;
  void lock() { AcquireSRWLockExclusive(&lock_); }
  void unlock() { ReleaseSRWLockExclusive(&lock_); }
  void lock_shared() { AcquireSRWLockShared(&lock_); }
  void unlock_shared() { ReleaseSRWLockShared(&lock_); }

 private:
  SRWLOCK lock_;
};
using Mutex = SharedMutex;

class Thread {
 public:
  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread() {
    if (handle_) CloseHandle(handle_);
  }
  bool Start(std::function<void()> body) {
    auto* heap = new std::function<void()>(std::move(body));
    DWORD id = 0;
    handle_ = CreateThread(nullptr, 0, &Thread::Entry, heap, 0, &id);
    if (!handle_) {
      delete heap;
      return false;
    }
    id_ = id;
    return true;
  }
  bool Joinable() const { return handle_ != nullptr; }
  bool IsCurrent() const { return handle_ && GetCurrentThreadId() == id_; }
  void Join() {
    if (!handle_) return;
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
    handle_ = nullptr;
    id_ = 0;
  }
  // Lets the thread finish on its own (used when it would have to join itself).
  void Detach() {
    if (handle_) CloseHandle(handle_);
    handle_ = nullptr;
    id_ = 0;
  }

 private:
  static DWORD WINAPI Entry(LPVOID parameter) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
    (*body)();
    return 0;
  }
  HANDLE handle_ = nullptr;
  DWORD id_ = 0;
};

#else

using SharedMutex = std::shared_mutex;
using Mutex = std::mutex;

class Thread {
 public:
  bool Start(std::function<void()> body) {
    thread_ = std::thread(std::move(body));
    return true;
  }
  bool Joinable() const { return thread_.joinable(); }
  bool IsCurrent() const { return thread_.joinable() && thread_.get_id() == std::this_thread::get_id(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  void Detach() {
    if (thread_.joinable()) thread_.detach();
  }

 private:
  std::thread thread_;
};

#endif

template <typename M>
class ExclusiveLock {
 public:
  explicit ExclusiveLock(M& m) : m_(m) { m_.lock(); }
  ~ExclusiveLock() { m_.unlock(); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  M& m_;
};

template <typename M>
class SharedLock {
 public:
  explicit SharedLock(M& m) : m_(m) { m_.lock_shared(); }
  ~SharedLock() { m_.unlock_shared(); }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

 private:
  M& m_;
};

}  // namespace detail
}  // namespace velmora
