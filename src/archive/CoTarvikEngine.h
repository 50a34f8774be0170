#pragma once
// The composer and the URL-string adaptor as the toolbar uses them: thin
// reference-counted shells over WriteWebArchive in the platform's surroundings
// (ArchiveEnvironmentWin.h).
#include <windows.h>
#include <unknwn.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/ArchiveIO.h"
#include "archive/WebArchive.h"
#include "framework/InterfacedObject.h"

// Slot order: IUnknown, then Count, URL, Base, DocumentURL.
struct IURLStrings : public IUnknown {
  virtual int32_t STDMETHODCALLTYPE Count() = 0;
  // Entry i of the URL list (0 <= i < Count()).
  virtual std::string STDMETHODCALLTYPE URL(int32_t i) = 0;
  // Entry i of the base list when it has one that is not empty, else the default base.
  virtual std::string STDMETHODCALLTYPE Base(int32_t i) = 0;
  // Entry i of the base list as given: empty for entries that are no navigated document.
  virtual std::string STDMETHODCALLTYPE DocumentURL(int32_t i) = 0;
};
__CRT_UUID_DECL(IURLStrings, 0x5b8f2d51, 0x6c3e, 0x4a7d, 0x9e, 0x12, 0x3f, 0x4b, 0x8a, 0x61, 0xc2, 0x07)

// Slot order: IUnknown, then ComposeWebArchive.
struct ITarvikEngine : public IUnknown {
  // Writes the archive of URLs into Stream (left open). FirstURL and
  // Observer are not used. Answers S_OK, or the failure that stopped the
  // composition (a cache file that exists but cannot be read: its Win32
  // error as an HRESULT, with an error object describing it); what was
  // written before stays in Stream.
  virtual HRESULT STDMETHODCALLTYPE ComposeWebArchive(const std::string& FirstURL, IURLStrings* URLs,
                                                      IUnknown* Observer, tarvik::TOutputStream* Stream,
                                                      const std::string& Title) = 0;
};
__CRT_UUID_DECL(ITarvikEngine, 0x5b8f2d52, 0x6c3e, 0x4a7d, 0x9e, 0x12, 0x3f, 0x4b, 0x8a, 0x61, 0xc2, 0x07)

namespace tarvik {

class TTarvikEngine final : public TInterfacedImpl<ITarvikEngine> {
 public:
  using EnvironmentFactory = std::function<TArchiveEnvironment()>;

  HRESULT STDMETHODCALLTYPE ComposeWebArchive(const std::string& FirstURL, IURLStrings* URLs, IUnknown* Observer,
                                              TOutputStream* Stream, const std::string& Title) override;

 private:
  friend class TInterfacedObject;
  // Tests fix the GUID, the clock and the version through environment.
  explicit TTarvikEngine(EnvironmentFactory environment = {}) : FEnvironment(std::move(environment)) {}

  EnvironmentFactory FEnvironment;
};

class TStringsToURLStrings final : public TInterfacedImpl<IURLStrings> {
 public:
  int32_t STDMETHODCALLTYPE Count() override { return FList.Count(); }
  std::string STDMETHODCALLTYPE URL(int32_t i) override;
  std::string STDMETHODCALLTYPE Base(int32_t i) override;
  std::string STDMETHODCALLTYPE DocumentURL(int32_t i) override { return FList.DocumentURL(i); }

 private:
  friend class TInterfacedObject;
  // Keeps copies of both lists.
  TStringsToURLStrings(const std::string& defaultBase, const std::vector<std::string>& urls,
                       const std::vector<std::string>& bases)
      : FList(defaultBase, urls, bases) {}

  TURLStringList FList;
};

}  // namespace tarvik
