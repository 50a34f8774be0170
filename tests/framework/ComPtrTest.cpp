#include "framework/ComPtr.h"

#include <gtest/gtest.h>

#include "support/framework/ProbeObject.h"

namespace tarvik {
namespace {

using test::GDestroyed;
using test::Probe;

TEST(ComPtrHolder, PutReleasesWhatWasHeldAndAttachDetachDoNotCount) {
  GDestroyed = 0;
  ComPtr<Probe> a = TInterfacedObject::Create<Probe>();
  ComPtr<IPersist> persist;
  a->QueryInterface(IID_IPersist, persist.PutVoid());
  EXPECT_EQ(a->RefCount(), 2);
  // Put on a filled holder releases first: nothing leaks.
  a->QueryInterface(IID_IPersist, persist.PutVoid());
  EXPECT_EQ(a->RefCount(), 2);
  IPersist* raw = persist.Detach();
  EXPECT_FALSE(persist);
  EXPECT_EQ(a->RefCount(), 2);
  ComPtr<IPersist> back = ComPtr<IPersist>::Attach(raw);
  EXPECT_EQ(a->RefCount(), 2);
  ComPtr<IPersist> moved = std::move(back);
  EXPECT_FALSE(back);  // NOLINT(bugprone-use-after-move): a moved-from holder is empty
  EXPECT_EQ(a->RefCount(), 2);
  IPersist* out = nullptr;
  EXPECT_EQ(moved.CopyTo(&out), S_OK);
  EXPECT_EQ(a->RefCount(), 3);
  out->Release();
  ComPtr<IOleWindow> window = moved.As<IOleWindow>();
  EXPECT_TRUE(window);
  EXPECT_TRUE(SameComObject(window.Get(), moved.Get()));
  window = nullptr;
  moved = nullptr;
  a = nullptr;
  EXPECT_EQ(GDestroyed.load(), 1);
}

}  // namespace
}  // namespace tarvik
