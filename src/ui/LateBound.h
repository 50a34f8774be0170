#pragma once
// Properties of the browser's objects read by name through IDispatch, as a
// script would: the only way to read what an object may or may not have
// (the text of a selection's range, the location of a document).
#include <windows.h>
#include <oaidl.h>

#include <stdexcept>
#include <string>

#include "framework/ComPtr.h"

namespace tarvik {

// A read that failed: the property is missing, or the object refused it.
class ELateBoundError : public std::runtime_error {
 public:
  ELateBoundError(const std::string& what, HRESULT result) : std::runtime_error(what), FResult(result) {}
  HRESULT Result() const noexcept { return FResult; }

 private:
  HRESULT FResult;
};

// Both throw ELateBoundError, also when the value is of another kind.
ComPtr<IDispatch> GetObjectProperty(IDispatch* object, const wchar_t* name);
std::wstring GetTextProperty(IDispatch* object, const wchar_t* name);

}  // namespace tarvik
