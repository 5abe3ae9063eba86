// Text conversion inside the stand-in: UTF-8 <-> UTF-16, and the ANSI code page of the IP Helper's texts.
// (The stand-in's other narrow-text calls, the registry's A functions say, take UTF-8.)
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

// The ANSI code page: TAMSIL_ANSI_CODEPAGE, or what a test chose, else 1252.
UINT StandInAnsiCodePage();
// UTF-8 text in the ANSI code page, at most `maxBytes` bytes, cut between characters; a character the code
// page lacks becomes '?', as Windows' own conversion to ANSI does.
std::string Utf8ToAnsi(std::string_view text, size_t maxBytes);
