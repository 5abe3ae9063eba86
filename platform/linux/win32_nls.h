// Win32 code-page conversion of the Linux stand-in. The stand-in's ANSI code page is Windows-1252 unless
// TAMSIL_ANSI_CODEPAGE names another (932, 1251, 65001, ...); the conversion is glibc's iconv.
#pragma once

#include "win32_base.h"

#define CP_ACP 0
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
#define ERROR_NO_UNICODE_TRANSLATION 1113L

extern "C" {
UINT WINAPI GetACP(void);
// As on Windows: cbMultiByte -1 converts up to and including the NUL; cchWideChar 0 asks for the units
// needed. Bytes that are no character of the code page become U+FFFD (the undefined bytes of the 125x
// code pages their own C1 units, as Windows' tables have them), or fail with MB_ERR_INVALID_CHARS.
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                               int cchWideChar);
}
