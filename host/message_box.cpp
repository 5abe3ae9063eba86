// The warning message box of the Java side: the text as the Java side gave it, to MessageBoxA.
#include "host/message_box.h"

#include "platform/win32.h"

const char kMessageBoxCaption[] = "Network Vorel";

static_assert(kMessageBoxStyle == (MB_OK | MB_ICONWARNING | MB_SYSTEMMODAL | MB_SETFOREGROUND), "style 0x11030");

int ShowWarningBox(const char* pText) { return MessageBoxA(NULL, pText, kMessageBoxCaption, kMessageBoxStyle) != 0 ? 1 : 0; }
