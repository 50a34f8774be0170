#include <gtest/gtest.h>

#include <oaidl.h>
#include <ocidl.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <thread>
#include <vector>

#include "framework/ComObject.h"
#include "framework/ComPtr.h"
#include "framework/Handles.h"
#include "framework/InterfacedObject.h"
#include "framework/WinText.h"

namespace tarvik {
namespace {

std::atomic<int> GDestroyed{0};

class Probe final : public TInterfacedImpl<IPersist, IOleWindow> {
 public:
  LONG CountSeenInAfterConstruction = -1;
  STDMETHODIMP GetClassID(CLSID* clsid) override {
    *clsid = CLSID_NULL;
    return S_OK;
  }
  STDMETHODIMP GetWindow(HWND* hwnd) override {
    *hwnd = nullptr;
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

 private:
  friend class TInterfacedObject;
  Probe() = default;
  ~Probe() override { ++GDestroyed; }
  void AfterConstruction() override {
    CountSeenInAfterConstruction = RefCount();
    // A reference taken and dropped here must not free the object.
    AddRef();
    Release();
  }
};

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

TEST(WinText, ConvertsBetweenUtf16AndTheAnsiCodePageWithoutFailingOnBadInput) {
  EXPECT_EQ(WideToAnsi(static_cast<const wchar_t*>(nullptr)), "");
  EXPECT_EQ(WideToAnsi(L""), "");
  EXPECT_EQ(WideToAnsi(L"http://h/a b?x=1"), "http://h/a b?x=1");
  // Zero characters inside a counted text are kept.
  EXPECT_EQ(WideToAnsi(std::wstring_view(L"a\0b", 3)), std::string("a\0b", 3));
  // A lone surrogate becomes a stand-in character, never a failure.
  const std::string lone = WideToAnsi(std::wstring_view(L"x\xD800y", 3));
  ASSERT_EQ(lone.size(), 3u);
  EXPECT_EQ(lone.front(), 'x');
  EXPECT_EQ(lone.back(), 'y');
  const std::wstring wide(70000, L'w');
  EXPECT_EQ(WideToAnsi(wide), std::string(70000, 'w'));
  EXPECT_EQ(AnsiToWide("caf\xE9"), L"caf\u00E9");
  EXPECT_EQ(WideToAnsi(AnsiToWide("caf\xE9")), "caf\xE9");
  EXPECT_EQ(AnsiToWide(""), L"");
}

TEST(WinText, ModuleFileNameNamesTheRunningProgram) {
  const std::string exe = ModuleFileName(nullptr);
  ASSERT_GT(exe.size(), 4u);
  EXPECT_EQ(exe.substr(exe.size() - 4), ".exe");
  EXPECT_NE(exe.find_first_of("\\/"), std::string::npos);
  EXPECT_EQ(ModuleFileName(::GetModuleHandleA(nullptr)), exe);
}

}  // namespace
}  // namespace tarvik
