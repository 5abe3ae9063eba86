// The warning message box of the Java side.
#pragma once

extern const char kMessageBoxCaption[];  // "Network Vorel"
// MB_OK | MB_ICONWARNING | MB_SYSTEMMODAL | MB_SETFOREGROUND: the style of every message box of tamsil.
constexpr unsigned kMessageBoxStyle = 0x11030;

// Shows pText in a system-modal warning box with no owner; 1 when a button was pressed, 0 when no box was
// shown (MessageBoxA returned 0).
int ShowWarningBox(const char* pText);
