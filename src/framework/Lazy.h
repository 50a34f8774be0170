#pragma once
// An object made on first use, exactly once, whichever thread asks first.
// Later calls read it without taking the lock.
#include <atomic>
#include <memory>
#include <mutex>

namespace tarvik {

template <class T>
class TLazy {
 public:
  TLazy() = default;
  TLazy(const TLazy&) = delete;
  TLazy& operator=(const TLazy&) = delete;

  // make() returns a std::unique_ptr<T>; it runs at most once at a time, and
  // again only if an earlier run threw (the exception reaches its caller).
  template <class Make>
  T* Get(Make&& make) {
    if (T* ready = FReady.load(std::memory_order_acquire)) return ready;
    std::lock_guard<std::mutex> guard(FLock);
    if (!FObject) {
      FObject = make();
      FReady.store(FObject.get(), std::memory_order_release);
    }
    return FObject.get();
  }

 private:
  std::mutex FLock;
  std::unique_ptr<T> FObject;
  std::atomic<T*> FReady{nullptr};
};

}  // namespace tarvik
