#include "ui/LateBound.h"

#include "framework/Handles.h"
#include "framework/WinText.h"

namespace tarvik {

namespace {

void ReadProperty(IDispatch* object, const wchar_t* name, UniqueVariant& value) {
  const std::string property = WideToAnsi(name);
  if (!object) throw ELateBoundError("No object to read \"" + property + "\" from.", E_POINTER);
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) throw ELateBoundError("The object has no property \"" + property + "\".", hr);
  DISPPARAMS none{};
  EXCEPINFO error{};
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value.Put(), &error, nullptr);
  // Invoke may fill the exception record; its strings are ours to free.
  UniqueBstr source(error.bstrSource), description(error.bstrDescription), help(error.bstrHelpFile);
  if (FAILED(hr)) throw ELateBoundError("Reading \"" + property + "\" failed.", hr);
}

}  // namespace

ComPtr<IDispatch> GetObjectProperty(IDispatch* object, const wchar_t* name) {
  UniqueVariant value;
  ReadProperty(object, name, value);
  const VARIANT& v = value.Get();
  if ((V_VT(&v) != VT_DISPATCH && V_VT(&v) != VT_UNKNOWN) || !V_UNKNOWN(&v))
    throw ELateBoundError("\"" + WideToAnsi(name) + "\" is not an object.", DISP_E_TYPEMISMATCH);
  ComPtr<IDispatch> result;
  const HRESULT hr = V_UNKNOWN(&v)->QueryInterface(IID_IDispatch, result.PutVoid());
  if (FAILED(hr)) throw ELateBoundError("\"" + WideToAnsi(name) + "\" is not an object.", hr);
  return result;
}

std::wstring GetTextProperty(IDispatch* object, const wchar_t* name) {
  UniqueVariant value;
  ReadProperty(object, name, value);
  const VARIANT& v = value.Get();
  if (V_VT(&v) == VT_EMPTY || V_VT(&v) == VT_NULL) return {};
  if (V_VT(&v) != VT_BSTR) throw ELateBoundError("\"" + WideToAnsi(name) + "\" is not text.", DISP_E_TYPEMISMATCH);
  return std::wstring(V_BSTR(&v) ? V_BSTR(&v) : L"", V_BSTR(&v) ? ::SysStringLen(V_BSTR(&v)) : 0);
}

}  // namespace tarvik
