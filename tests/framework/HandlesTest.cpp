#include "framework/Handles.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

namespace tarvik {
namespace {

TEST(Handles, OwnersCloseExactlyOnce) {
  UniqueHandle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  HANDLE raw = event.Get();
  UniqueHandle moved = std::move(event);
  EXPECT_FALSE(event);  // NOLINT(bugprone-use-after-move): a moved-from owner is empty
  EXPECT_EQ(moved.Get(), raw);
  moved.Reset();
  DWORD flags = 0;
  EXPECT_FALSE(::GetHandleInformation(raw, &flags));  // closed

  UniqueHKey key;
  ASSERT_EQ(::RegOpenKeyExA(HKEY_CLASSES_ROOT, "Protocols", 0, KEY_READ, key.Put()), ERROR_SUCCESS);
  EXPECT_TRUE(key);
  UniqueHKey none;
  EXPECT_NE(::RegOpenKeyExA(HKEY_CLASSES_ROOT, "No\\Such\\Key\\Here", 0, KEY_READ, none.Put()), ERROR_SUCCESS);
  EXPECT_FALSE(none);
}

TEST(Handles, CriticalSectionIsReentrantAndExcludesOtherThreads) {
  CriticalSection section;
  std::lock_guard<CriticalSection> outer(section);
  std::lock_guard<CriticalSection> inner(section);
  bool otherGot = true;
  std::thread other([&] { otherGot = section.try_lock(); });
  other.join();
  EXPECT_FALSE(otherGot);
}

}  // namespace
}  // namespace tarvik
