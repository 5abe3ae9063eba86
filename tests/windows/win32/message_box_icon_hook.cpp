// A thread CBT hook that the Wine tests load into a program under test (see NameBoxIconsOfThread): as each
// message box of the hooked thread is activated, it names the box's icon in a window property, which the
// answering test process reads. Icon handles mean nothing outside their own process; properties do.
#include <windows.h>

#include <cstring>

#include "windows/win32/message_box_answerer.h"

extern "C" __declspec(dllexport) LRESULT CALLBACK NameBoxIcon(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        HWND window = reinterpret_cast<HWND>(wParam);
        char className[16] = "";
        GetClassNameA(window, className, sizeof className);
        // The property's value is never 0, so that a box without an icon is told from one not yet looked at.
        if (std::strcmp(className, "#32770") == 0)
            SetPropA(window, kBoxIconProperty, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x10000 | BoxIconId(window))));
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
