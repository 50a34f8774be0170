#include "framework/InterfacedObject.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <thread>
#include <vector>

#include "framework/ComPtr.h"
#include "support/framework/ProbeObject.h"

namespace tarvik {
namespace {

using test::GDestroyed;
using test::Probe;

TEST(InterfacedObject, CountIsZeroAfterConstructionAndTheObjectFreesItselfAtZero) {
  GDestroyed = 0;
  ComPtr<Probe> probe = TInterfacedObject::Create<Probe>();
  EXPECT_EQ(probe->CountSeenInAfterConstruction, 1);
  EXPECT_EQ(probe->RefCount(), 1);  // the holder's reference only
  ComPtr<IOleWindow> window;
  ASSERT_EQ(probe->QueryInterface(IID_IOleWindow, window.PutVoid()), S_OK);
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(window->QueryInterface(IID_IUnknown, unknown.PutVoid()), S_OK);
  EXPECT_EQ(unknown.Get(), static_cast<IUnknown*>(static_cast<IPersist*>(probe.Get())));
  EXPECT_EQ(probe->RefCount(), 3);
  ComPtr<IDispatch> none;
  EXPECT_EQ(probe->QueryInterface(IID_IDispatch, none.PutVoid()), E_NOINTERFACE);
  EXPECT_EQ(probe->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  probe = nullptr;
  window = nullptr;
  EXPECT_EQ(GDestroyed.load(), 0);
  unknown = nullptr;
  EXPECT_EQ(GDestroyed.load(), 1);
}

// Registers itself in AfterConstruction and then fails, as an object under
// memory pressure may.
class FailingInit final : public TInterfacedImpl<IPersist> {
 public:
  static inline std::vector<FailingInit*> Live;
  STDMETHODIMP GetClassID(CLSID* clsid) override {
    *clsid = CLSID_NULL;
    return S_OK;
  }

 private:
  friend class TInterfacedObject;
  FailingInit() = default;
  ~FailingInit() override {
    std::erase(Live, this);
    ++GDestroyed;
  }
  void AfterConstruction() override {
    Live.push_back(this);
    throw std::bad_alloc();
  }
};

TEST(InterfacedObject, AnObjectWhoseInitialisationThrowsIsFreedAndUndone) {
  GDestroyed = 0;
  EXPECT_THROW(TInterfacedObject::Create<FailingInit>(), std::bad_alloc);
  EXPECT_EQ(GDestroyed.load(), 1);
  EXPECT_TRUE(FailingInit::Live.empty());
}

TEST(InterfacedObject, ConcurrentAddRefAndReleaseKeepTheCount) {
  GDestroyed = 0;
  ComPtr<Probe> probe = TInterfacedObject::Create<Probe>();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        ComPtr<Probe> copy = probe;  // NOLINT(performance-unnecessary-copy-initialization): the copy is the test
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(probe->RefCount(), 1);
  EXPECT_EQ(GDestroyed.load(), 0);
  probe = nullptr;
  EXPECT_EQ(GDestroyed.load(), 1);
}

}  // namespace
}  // namespace tarvik
