#include "PageText.h"

#include <algorithm>
#include <cctype>

#include "HtmlScanner.h"

namespace tarvik::host {

namespace {

struct TCharsetName {
  const char* Name;
  UINT CodePage;
};
constexpr TCharsetName kCharsets[] = {
    {"utf-8", CP_UTF8},     {"utf8", CP_UTF8},       {"us-ascii", 1252},     {"ascii", 1252},
    {"iso-8859-1", 1252},   {"latin1", 1252},        {"l1", 1252},           {"windows-1252", 1252},
    {"cp1252", 1252},       {"windows-1250", 1250},  {"windows-1251", 1251}, {"windows-1253", 1253},
    {"windows-1254", 1254}, {"windows-1255", 1255},  {"windows-1256", 1256}, {"windows-1257", 1257},
    {"windows-1258", 1258}, {"iso-8859-2", 28592},   {"iso-8859-5", 28595},  {"iso-8859-7", 28597},
    {"iso-8859-9", 28599},  {"iso-8859-15", 28605},  {"koi8-r", 20866},      {"koi8-u", 21866},
    {"shift_jis", 932},     {"shift-jis", 932},      {"sjis", 932},          {"windows-31j", 932},
    {"euc-jp", 20932},      {"gb2312", 936},         {"gbk", 936},           {"big5", 950},
    {"euc-kr", 949},        {"ks_c_5601-1987", 949}, {"utf-16", 1200},       {"utf-16le", 1200},
    {"utf-16be", 1201},
};

bool IsValidUtf8(std::string_view bytes) {
  return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr,
                               0) > 0;
}

std::wstring FromUtf16(std::string_view bytes, bool bigEndian) {
  std::wstring out(bytes.size() / 2, L'\0');
  for (size_t i = 0; i < out.size(); ++i) {
    const auto lo = static_cast<unsigned char>(bytes[2 * i + (bigEndian ? 1 : 0)]);
    const auto hi = static_cast<unsigned char>(bytes[2 * i + (bigEndian ? 0 : 1)]);
    out[i] = static_cast<wchar_t>(lo | (hi << 8));
  }
  return out;
}

std::wstring FromCodePage(std::string_view bytes, UINT codePage) {
  if (bytes.empty()) return {};
  if (codePage == 1200 || codePage == 1201) return FromUtf16(bytes, codePage == 1201);
  const int size = static_cast<int>(bytes.size());
  int length = ::MultiByteToWideChar(codePage, 0, bytes.data(), size, nullptr, 0);
  if (length <= 0) {  // a code page the system lacks
    codePage = 1252;
    length = ::MultiByteToWideChar(codePage, 0, bytes.data(), size, nullptr, 0);
  }
  std::wstring out(static_cast<size_t>(std::max(length, 0)), L'\0');
  if (length > 0) ::MultiByteToWideChar(codePage, 0, bytes.data(), size, out.data(), length);
  return out;
}

}  // namespace

UINT CodePageOfCharset(std::string_view charset) {
  std::string lower(charset);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const TCharsetName& entry : kCharsets)
    if (lower == entry.Name) return entry.CodePage;
  return 0;
}

UINT PageCodePage(std::string_view bytes, std::string_view headerCharset, bool html) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return CP_UTF8;
  if (bytes.substr(0, 2) == "\xFF\xFE") return 1200;
  if (bytes.substr(0, 2) == "\xFE\xFF") return 1201;
  UINT codePage = CodePageOfCharset(headerCharset);
  if (codePage == 0 && html) codePage = CodePageOfCharset(SniffMetaCharset(bytes));
  // A page cannot declare itself UTF-16 in a <meta> read as bytes.
  if (codePage == 1200 || codePage == 1201) codePage = html && headerCharset.empty() ? 0 : codePage;
  if (codePage == 0) codePage = IsValidUtf8(bytes) ? CP_UTF8 : 1252;
  return codePage;
}

std::wstring DecodePageText(std::string_view bytes, std::string_view headerCharset, bool html) {
  const UINT codePage = PageCodePage(bytes, headerCharset, html);
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return FromCodePage(bytes.substr(3), CP_UTF8);
  if (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF")
    return FromUtf16(bytes.substr(2), codePage == 1201);
  return FromCodePage(bytes, codePage);
}

std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(std::max(length, 0)), '\0');
  if (length > 0) ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), length, nullptr, nullptr);
  return out;
}

std::wstring FromUtf8(std::string_view text) { return FromCodePage(text, CP_UTF8); }

}  // namespace tarvik::host
