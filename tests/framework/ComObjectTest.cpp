#include "framework/ComObject.h"

#include <gtest/gtest.h>

#include <oaidl.h>
#include <ocidl.h>

#include "framework/ComPtr.h"
#include "support/framework/ProbeObject.h"

namespace tarvik {
namespace {

using test::GDestroyed;

// A COM object of the aggregatable base.
class Aggregatable final : public TComObject<Aggregatable, IPersist> {
 public:
  Aggregatable() = default;
  ~Aggregatable() override { ++GDestroyed; }
  STDMETHODIMP GetClassID(CLSID* clsid) override {
    *clsid = CLSID_NULL;
    return S_OK;
  }
};

// An outer object that aggregates one inner object.
class Outer final : public TInterfacedImpl<IOleWindow> {
 public:
  ComPtr<IUnknown> Inner;
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    HRESULT hr = QueryOwnInterface(riid, ppv);
    if (hr == E_NOINTERFACE && Inner) hr = Inner->QueryInterface(riid, ppv);
    return hr;
  }
  STDMETHODIMP GetWindow(HWND* hwnd) override {
    *hwnd = nullptr;
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
};

TEST(ComObjectBase, StandaloneObjectAnswersItsInterfacesAndErrorInfo) {
  GDestroyed = 0;
  const LONG before = ComServer::ObjectCount();
  ComPtr<IPersist> persist;
  ASSERT_EQ(Aggregatable::CreateInstance(nullptr, IID_IPersist, persist.PutVoid()), S_OK);
  EXPECT_EQ(ComServer::ObjectCount(), before + 1);
  ComPtr<ISupportErrorInfo> errorInfo = persist.As<ISupportErrorInfo>();
  ASSERT_TRUE(errorInfo);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IPersist), S_OK);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
  EXPECT_TRUE(SameComObject(errorInfo.Get(), persist.Get()));
  errorInfo = nullptr;
  persist = nullptr;
  EXPECT_EQ(GDestroyed.load(), 1);
  EXPECT_EQ(ComServer::ObjectCount(), before);
  // A failed query frees the new object again.
  ComPtr<IDispatch> none;
  EXPECT_EQ(Aggregatable::CreateInstance(nullptr, IID_IDispatch, none.PutVoid()), E_NOINTERFACE);
  EXPECT_EQ(GDestroyed.load(), 2);
  EXPECT_EQ(ComServer::ObjectCount(), before);
}

TEST(ComObjectBase, AggregatedObjectDelegatesToItsOuter) {
  GDestroyed = 0;
  ComPtr<Outer> outer = TInterfacedObject::Create<Outer>();
  IUnknown* outerUnknown = outer->Identity();
  ComPtr<IPersist> refused;
  EXPECT_EQ(Aggregatable::CreateInstance(outerUnknown, IID_IPersist, refused.PutVoid()), CLASS_E_NOAGGREGATION);
  ASSERT_EQ(Aggregatable::CreateInstance(outerUnknown, IID_IUnknown, outer->Inner.PutVoid()), S_OK);
  // The inner object's interfaces lead back to the outer's identity.
  ComPtr<IPersist> persist;
  ASSERT_EQ(outer->QueryInterface(IID_IPersist, persist.PutVoid()), S_OK);
  ComPtr<IUnknown> identity;
  ASSERT_EQ(persist->QueryInterface(IID_IUnknown, identity.PutVoid()), S_OK);
  EXPECT_EQ(identity.Get(), outerUnknown);
  ComPtr<IOleWindow> window;
  EXPECT_EQ(persist->QueryInterface(IID_IOleWindow, window.PutVoid()), S_OK);
  const LONG outerCount = outer->RefCount();
  persist->AddRef();
  EXPECT_EQ(outer->RefCount(), outerCount + 1);
  persist->Release();
  identity = nullptr;
  window = nullptr;
  persist = nullptr;
  outer = nullptr;
  EXPECT_EQ(GDestroyed.load(), 1);
}

}  // namespace
}  // namespace tarvik
