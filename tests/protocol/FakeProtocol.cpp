#include "FakeProtocol.h"

#include <string>

#include "protocol/CoTarvikAPPMoniter.h"

namespace tarvik::test {

namespace {
const char* const HandlerKeys[] = {"Protocols\\Handler\\tarviktest", "Protocols\\Handler\\tarvikbadclsid",
                                   "Protocols\\Handler\\tarviknoclsid"};

bool SetClsidValue(const char* path, const std::string& value) {
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  LONG result = ERROR_SUCCESS;
  if (!value.empty())
    result = ::RegSetValueExA(key, "CLSID", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>(value.size() + 1));
  ::RegCloseKey(key);
  return result == ERROR_SUCCESS;
}
}  // namespace

FakeHandlerRegistration::FakeHandlerRegistration() {
  const bool keys = SetClsidValue(HandlerKeys[0], GuidText(CLSID_FakeHandler)) &&
                    SetClsidValue(HandlerKeys[1], "{not-a-guid}") && SetClsidValue(HandlerKeys[2], "");
  const HRESULT registered = ::CoRegisterClassObject(CLSID_FakeHandler, static_cast<IClassFactory*>(FFactory.Get()),
                                                     CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &FCookie);
  FOk = keys && SUCCEEDED(registered);
}

FakeHandlerRegistration::~FakeHandlerRegistration() {
  if (FCookie) ::CoRevokeClassObject(FCookie);
  for (const char* path : HandlerKeys) ::RegDeleteKeyA(HKEY_CLASSES_ROOT, path);
}

ComPtr<FakeHandler> FakeHandlerRegistration::PrepareHandler() {
  ComPtr<FakeHandler> handler = TInterfacedObject::Create<FakeHandler>();
  FFactory->Next.push_back(handler);
  return handler;
}

}  // namespace tarvik::test
