#include "archive/CoTarvikEngine.h"

#include <oleauto.h>

#include "archive/ArchiveEnvironmentWin.h"
#include "core/ClassTarvikRuntime.h"
#include "framework/ComBoundary.h"
#include "framework/ComPtr.h"

namespace tarvik {

namespace {

// The composer's view of an IURLStrings.
class TURLStringsSource final : public TURLStringSource {
 public:
  explicit TURLStringsSource(IURLStrings* strings) : FStrings(strings) {}
  int32_t Count() const override { return FStrings->Count(); }
  std::string URL(int32_t i) const override { return FStrings->URL(i); }
  std::string Base(int32_t i) const override { return FStrings->Base(i); }
  std::string DocumentURL(int32_t i) const override { return FStrings->DocumentURL(i); }

 private:
  IURLStrings* FStrings;
};

// Hands the failure to the caller's error object as well.
void SetErrorDescription(const std::string& text) {
  ComPtr<ICreateErrorInfo> create;
  if (FAILED(::CreateErrorInfo(create.Put()))) return;
  const int length = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 1), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
  create->SetDescription(wide.data());
  create->SetGUID(__uuidof(ITarvikEngine));
  ComPtr<IErrorInfo> info = create.As<IErrorInfo>();
  ::SetErrorInfo(0, info.Get());
}

}  // namespace

HRESULT STDMETHODCALLTYPE TTarvikEngine::ComposeWebArchive(const std::string& FirstURL, IURLStrings* URLs,
                                                           IUnknown* Observer, TOutputStream* Stream,
                                                           const std::string& Title) {
  if (!URLs || !Stream) return E_POINTER;
  TTarvikDataBuffer* store = TarvikDataBuffer.get();
  if (!store) return E_UNEXPECTED;
  // What went wrong goes to the caller's error object as well; a file that
  // cannot be read or written answers its own error code.
  constexpr TComFailure failure{.Result = E_FAIL, .Describe = &SetErrorDescription};
  return ComBoundary(failure, [&] {
    try {
      const TArchiveEnvironment env = FEnvironment ? FEnvironment() : WindowsArchiveEnvironment();
      const TURLStringsSource source(URLs);
      WriteWebArchive(source, *store, *Stream, Title, env);
      return S_OK;
    } catch (const TFileError& error) {
      SetErrorDescription(error.what());
      return HRESULT_FROM_WIN32(error.Code() ? error.Code() : ERROR_READ_FAULT);
    }
  });
}

std::string STDMETHODCALLTYPE TStringsToURLStrings::URL(int32_t i) {
  if (i < 0 || i >= FList.Count()) return std::string();
  return FList.URL(i);
}

std::string STDMETHODCALLTYPE TStringsToURLStrings::Base(int32_t i) { return FList.Base(i); }

}  // namespace tarvik
