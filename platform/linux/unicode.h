// UTF-8 <-> UTF-16 conversion for the stand-in (its ANSI code page is UTF-8, CP 65001).
#pragma once

#include <string>
#include <string_view>

#include "win32_base.h"

// Lone surrogates become U+FFFD.
std::string Utf16ToUtf8(const WCHAR* text, size_t length);
std::string Utf16ToUtf8(const std::u16string& text);
// Invalid bytes become U+FFFD; the 3-byte surrogate forms of modified UTF-8 (what a JVM hands out for
// characters beyond the BMP) decode to their surrogate units, so such text survives a round trip.
std::u16string Utf8ToUtf16(std::string_view text);
