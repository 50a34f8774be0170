#pragma once
// Where exceptions end: a COM method (or an interface operation that returns
// nothing) runs its body through ComBoundary, which turns whatever escapes
// into the method's failure result and writes the line its failure traces.
// Code with no result to answer uses NoThrow (framework/Trace.h) instead.
#include <windows.h>

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <type_traits>

#include "framework/Trace.h"

namespace tarvik {

// What a boundary answers for an exception that reaches it, and the trace
// line it writes then (none without a source).
struct TComFailure {
  HRESULT Result = E_FAIL;              // any exception...
  HRESULT OutOfMemory = E_OUTOFMEMORY;  // ...but std::bad_alloc
  const char* Source = nullptr;
  const char* Message = "";
  int32_t Extra = 0;
  int32_t Level = 50;
  // Told the text of any std::exception but std::bad_alloc (a caller's
  // error object); a failure of its own is not passed on.
  void (*Describe)(const std::string& what) = nullptr;
};

// A boundary that answers result for every exception, exhausted memory too.
constexpr TComFailure AnyException(HRESULT result, const char* source = nullptr, const char* message = "",
                                   int32_t extra = 0, int32_t level = 50) noexcept {
  return {result, result, source, message, extra, level, nullptr};
}

// Runs body (returning an HRESULT, or nothing for S_OK); an escaping
// exception answers failure's result and writes its line.
template <class Body>
HRESULT ComBoundary(const TComFailure& failure, Body&& body) noexcept {
  HRESULT result = failure.Result;
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<Body&>>) {
      body();
      return S_OK;
    } else {
      return body();
    }
  } catch (const std::bad_alloc&) {
    result = failure.OutOfMemory;
  } catch (const std::exception& error) {
    if (failure.Describe) NoThrow([&] { failure.Describe(error.what()); });
  } catch (...) {
    // Any other exception: failure's result.
  }
  if (failure.Source) Log(failure.Source, failure.Message, failure.Extra, failure.Level);
  return result;
}

}  // namespace tarvik
