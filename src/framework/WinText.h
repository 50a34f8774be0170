#pragma once
// Text between the platform's UTF-16 and the library's byte strings in the
// system ANSI code page, and module file names.
#include <windows.h>

#include <string>
#include <string_view>

namespace tarvik {

// Characters the code page lacks (and lone surrogates) become its default character.
std::string WideToAnsi(std::wstring_view text);
// Zero-terminated text; a null pointer gives empty text.
std::string WideToAnsi(const wchar_t* text);
std::wstring AnsiToWide(std::string_view text);

// Full path of a module's file; nullptr names the process's executable.
std::string ModuleFileName(HMODULE module);

}  // namespace tarvik
