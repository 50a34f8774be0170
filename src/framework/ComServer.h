#pragma once
// The in-process COM server: the count of its live objects, class factories
// kept by class id, the count of server locks, and the standard class and
// type library registration.
#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tarvik {

class TComClassManager;

// Live COM objects of this server, which the library's unload query reads.
class ComServer {
 public:
  static LONG ObjectCount() noexcept { return FObjects.load(std::memory_order_acquire); }
  static void ObjectCreated() noexcept { FObjects.fetch_add(1, std::memory_order_acq_rel); }
  static void ObjectDestroyed() noexcept { FObjects.fetch_sub(1, std::memory_order_acq_rel); }

 private:
  static inline std::atomic<LONG> FObjects{0};
};

// The class factory of one COM class. It lives as long as its manager;
// references to it only tell whether a caller still holds it.
class TComObjectFactory : public IClassFactory {
 public:
  using TCreateInstance = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

  TComObjectFactory(TComClassManager& manager, TCreateInstance create, REFCLSID classId, std::wstring className,
                    std::wstring description);
  virtual ~TComObjectFactory() = default;
  TComObjectFactory(const TComObjectFactory&) = delete;
  TComObjectFactory& operator=(const TComObjectFactory&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
  STDMETHODIMP LockServer(BOOL fLock) override;

  const CLSID& ClassID() const noexcept { return FClassId; }
  const std::wstring& Description() const noexcept { return FDescription; }
  // Server name, a dot, and the class name.
  std::wstring ProgID() const;
  // The class id in registry form.
  std::wstring ClassIdKeyName() const;
  LONG References() const noexcept { return FReferences.load(std::memory_order_acquire); }

  // Register = true writes the standard class entries, false removes them.
  // Factories that add entries of their own override this and call it.
  // Raises when a key that must be written cannot be.
  virtual void UpdateRegistry(bool Register);

 protected:
  TComClassManager& Manager() const noexcept { return FManager; }

 private:
  TComClassManager& FManager;
  TCreateInstance FCreate;
  CLSID FClassId;
  std::wstring FClassName;
  std::wstring FDescription;
  std::atomic<LONG> FReferences{0};
};

class TComClassManager {
 public:
  // serverName names the server in ProgIDs; it is the type library's name.
  explicit TComClassManager(std::wstring serverName) : FServerName(std::move(serverName)) {}
  TComClassManager(const TComClassManager&) = delete;
  TComClassManager& operator=(const TComClassManager&) = delete;

  const std::wstring& ServerName() const noexcept { return FServerName; }
  // The module registered as the classes' server and read for the type
  // library; nullptr names the process's executable.
  void SetModule(HMODULE module) noexcept { FModule = module; }
  HMODULE Module() const noexcept { return FModule; }
  // The module's full file name, its short form when the name has a blank.
  std::wstring ServerFileName() const;

  template <class Factory, class... Args>
  Factory& AddFactory(Args&&... args) {
    auto factory = std::make_unique<Factory>(*this, std::forward<Args>(args)...);
    Factory& added = *factory;
    FFactories.push_back(std::move(factory));
    return added;
  }
  const std::vector<std::unique_ptr<TComObjectFactory>>& Factories() const noexcept { return FFactories; }

  // The factory registered for classId answers the query for riid.
  HRESULT GetClassObject(REFCLSID classId, REFIID riid, void** ppv) noexcept;

  void Lock() noexcept { FLocks.fetch_add(1, std::memory_order_acq_rel); }
  void Unlock() noexcept { FLocks.fetch_sub(1, std::memory_order_acq_rel); }
  LONG LockCount() const noexcept { return FLocks.load(std::memory_order_acquire); }
  // Live COM objects, server locks or factories still held by a caller.
  bool InUse() const noexcept;

  // The type library, then each factory, last created first. Raises on the
  // first failure; what was written before it stays.
  void UpdateRegistry(bool Register);

 private:
  void RegisterTypeLibrary() const;
  void UnregisterTypeLibrary() const noexcept;

  std::wstring FServerName;
  HMODULE FModule = nullptr;
  std::vector<std::unique_ptr<TComObjectFactory>> FFactories;
  std::atomic<LONG> FLocks{0};
};

}  // namespace tarvik
