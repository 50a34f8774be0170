#pragma once
// The library's own interfaces: plain in-process calls (not automation), so
// their operations take C++ values and return none of them an HRESULT.
#include <windows.h>
#include <unknwn.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tarvik {
class TIniFile;
}

// Slot order: IUnknown, then Lock, InformEvent, GenerateList, Log.
struct ITarvikRuntime : public IUnknown {
  virtual void STDMETHODCALLTYPE Lock(bool Enter) = 0;
  virtual void STDMETHODCALLTYPE InformEvent(int32_t TID, UINT_PTR OID, uint8_t Category, uint8_t Event,
                                             const std::string& Value) = 0;
  virtual void STDMETHODCALLTYPE GenerateList(int32_t TID, int32_t SIDMark, std::vector<std::string>* URLList,
                                              std::vector<std::string>* BaseList) = 0;
  virtual void STDMETHODCALLTYPE Log(const std::string& Source, const std::string& Message, int32_t Extra,
                                     int32_t Level) = 0;
};
__CRT_UUID_DECL(ITarvikRuntime, 0x5b8f2d41, 0x6c3e, 0x4a7d, 0x9e, 0x12, 0x3f, 0x4b, 0x8a, 0x61, 0xc2, 0x07)

struct ITarvikSettings : public IUnknown {
  // The library's one ini file object, created on first use.
  virtual tarvik::TIniFile* STDMETHODCALLTYPE IniFile() = 0;
};
__CRT_UUID_DECL(ITarvikSettings, 0x5b8f2d42, 0x6c3e, 0x4a7d, 0x9e, 0x12, 0x3f, 0x4b, 0x8a, 0x61, 0xc2, 0x07)
