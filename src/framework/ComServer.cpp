#include "framework/ComServer.h"

#include <oleauto.h>

#include <stdexcept>

#include "framework/ComBoundary.h"
#include "framework/ComObject.h"
#include "framework/ComPtr.h"
#include "framework/GuidText.h"
#include "framework/Registry.h"

namespace tarvik {

TComObjectFactory::TComObjectFactory(TComClassManager& manager, TCreateInstance create, REFCLSID classId,
                                     std::wstring className, std::wstring description)
    : FManager(manager),
      FCreate(create),
      FClassId(classId),
      FClassName(std::move(className)),
      FDescription(std::move(description)) {}

STDMETHODIMP TComObjectFactory::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) return E_NOINTERFACE;
  *ppv = static_cast<IClassFactory*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) TComObjectFactory::AddRef() {
  return static_cast<ULONG>(FReferences.fetch_add(1, std::memory_order_acq_rel) + 1);
}

STDMETHODIMP_(ULONG) TComObjectFactory::Release() {
  return static_cast<ULONG>(FReferences.fetch_sub(1, std::memory_order_acq_rel) - 1);
}

STDMETHODIMP TComObjectFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  return ComBoundary(TComFailure{}, [&] { return FCreate(pUnkOuter, riid, ppv); });
}

STDMETHODIMP TComObjectFactory::LockServer(BOOL fLock) {
  if (fLock)
    FManager.Lock();
  else
    FManager.Unlock();
  return S_OK;
}

std::wstring TComObjectFactory::ProgID() const { return FManager.ServerName() + L"." + FClassName; }

std::wstring TComObjectFactory::ClassIdKeyName() const { return WideGuidText(FClassId); }

void TComObjectFactory::UpdateRegistry(bool Register) {
  const std::wstring classKey = L"CLSID\\" + ClassIdKeyName();
  const std::wstring progId = ProgID();
  if (Register) {
    CreateRegKeyWithDefault(HKEY_CLASSES_ROOT, classKey, FDescription);
    const UniqueHKey server = CreateRegKey(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32");
    WriteRegString(server.Get(), L"", FManager.ServerFileName());
    WriteRegString(server.Get(), L"ThreadingModel", L"Apartment");
    CreateRegKeyWithDefault(HKEY_CLASSES_ROOT, progId, FDescription);
    CreateRegKeyWithDefault(HKEY_CLASSES_ROOT, progId + L"\\Clsid", ClassIdKeyName());
    CreateRegKeyWithDefault(HKEY_CLASSES_ROOT, classKey + L"\\ProgID", progId);
  } else {
    // Leaves first: a key with subkeys cannot be deleted.
    DeleteRegKey(HKEY_CLASSES_ROOT, classKey + L"\\ProgID");
    DeleteRegKey(HKEY_CLASSES_ROOT, progId + L"\\Clsid");
    DeleteRegKey(HKEY_CLASSES_ROOT, progId);
    DeleteRegKey(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32");
    DeleteRegKey(HKEY_CLASSES_ROOT, classKey);
  }
}

std::wstring TComClassManager::ServerFileName() const {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(FModule, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  if (path.find(L' ') == std::wstring::npos) return path;
  // A blank in the name would split the server's command line in some
  // hosts; the short form has none.
  const DWORD needed = ::GetShortPathNameW(path.c_str(), nullptr, 0);
  if (needed == 0) return path;
  std::wstring shortPath(needed, L'\0');
  const DWORD length = ::GetShortPathNameW(path.c_str(), shortPath.data(), needed);
  if (length == 0 || length >= needed) return path;
  shortPath.resize(length);
  return shortPath;
}

HRESULT TComClassManager::GetClassObject(REFCLSID classId, REFIID riid, void** ppv) noexcept {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (const auto& factory : FFactories)
    if (IsEqualCLSID(factory->ClassID(), classId)) return factory->QueryInterface(riid, ppv);
  return CLASS_E_CLASSNOTAVAILABLE;
}

bool TComClassManager::InUse() const noexcept {
  if (ComServer::ObjectCount() != 0 || LockCount() != 0) return true;
  for (const auto& factory : FFactories)
    if (factory->References() != 0) return true;
  return false;
}

void TComClassManager::UpdateRegistry(bool Register) {
  if (Register)
    RegisterTypeLibrary();
  else
    UnregisterTypeLibrary();
  for (auto it = FFactories.rbegin(); it != FFactories.rend(); ++it) (*it)->UpdateRegistry(Register);
}

void TComClassManager::RegisterTypeLibrary() const {
  std::wstring file = ServerFileName();
  ComPtr<ITypeLib> library;
  HRESULT hr = ::LoadTypeLibEx(file.c_str(), REGKIND_NONE, library.Put());
  if (SUCCEEDED(hr)) hr = ::RegisterTypeLib(library.Get(), file.data(), nullptr);
  if (FAILED(hr)) throw std::runtime_error("The type library could not be registered");
}

void TComClassManager::UnregisterTypeLibrary() const noexcept {
  ComPtr<ITypeLib> library;
  if (FAILED(::LoadTypeLibEx(ServerFileName().c_str(), REGKIND_NONE, library.Put()))) return;
  TLIBATTR* attributes = nullptr;
  if (FAILED(library->GetLibAttr(&attributes)) || !attributes) return;
  // Not registered (a second unregistration) is not an error.
  ::UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                      attributes->syskind);
  library->ReleaseTLibAttr(attributes);
}

}  // namespace tarvik
