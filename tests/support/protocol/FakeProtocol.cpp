#include "support/protocol/FakeProtocol.h"

#include <string>

#include "protocol/CoTarvikAPPMoniter.h"

namespace tarvik::test {

namespace {
std::string HandlerKey(const char* kind) { return "Protocols\\Handler\\" + FakeScheme(kind); }

bool SetClsidValue(const std::string& path, const std::string& value) {
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return false;
  LONG result = ERROR_SUCCESS;
  if (!value.empty())
    result = ::RegSetValueExA(key, "CLSID", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>(value.size() + 1));
  ::RegCloseKey(key);
  return result == ERROR_SUCCESS;
}
}  // namespace

std::string FakeScheme(const char* kind) {
  return std::string("tarvik") + kind + std::to_string(::GetCurrentProcessId());
}

FakeHandlerRegistration::FakeHandlerRegistration() {
  const bool keys = SetClsidValue(HandlerKey("test"), GuidText(CLSID_FakeHandler)) &&
                    SetClsidValue(HandlerKey("badclsid"), "{not-a-guid}") && SetClsidValue(HandlerKey("noclsid"), "");
  const HRESULT registered = ::CoRegisterClassObject(CLSID_FakeHandler, static_cast<IClassFactory*>(FFactory.Get()),
                                                     CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &FCookie);
  FOk = keys && SUCCEEDED(registered);
}

FakeHandlerRegistration::~FakeHandlerRegistration() {
  if (FCookie) ::CoRevokeClassObject(FCookie);
  for (const char* kind : {"test", "badclsid", "noclsid"}) ::RegDeleteKeyA(HKEY_CLASSES_ROOT, HandlerKey(kind).c_str());
}

ComPtr<FakeHandler> FakeHandlerRegistration::PrepareHandler() {
  ComPtr<FakeHandler> handler = TInterfacedObject::Create<FakeHandler>();
  FFactory->Next.push_back(handler);
  return handler;
}

}  // namespace tarvik::test
