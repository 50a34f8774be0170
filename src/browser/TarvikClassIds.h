#pragma once
// The library's fixed class identifiers. The band's is written by
// registration, answered by the band's GetClassID and passed to the browser
// by the helper object to show the band, so all of them take it from here.
#include <windows.h>
#include <objbase.h>

namespace tarvik {

// The toolbar band, "CoToolbar": {7D6FD738-E14D-4E83-940A-EC63ADB0AADD}
inline constexpr CLSID CLSID_TarvikToolbar = {
    0x7d6fd738, 0xe14d, 0x4e83, {0x94, 0x0a, 0xec, 0x63, 0xad, 0xb0, 0xaa, 0xdd}};

// The browser helper object, "CoBrowserHelper": {9AF9538C-CBA5-46E9-A5C7-6E44DBE06301}
inline constexpr CLSID CLSID_TarvikBrowserHelper = {
    0x9af9538c, 0xcba5, 0x46e9, {0xa5, 0xc7, 0x6e, 0x44, 0xdb, 0xe0, 0x63, 0x01}};

}  // namespace tarvik
