// ousterling, the driver removal program: administrator test, confirmation, removal with progress
// dots, result dialogue. Exit code 0 on every path; command-line arguments are ignored.
#include <cstdio>
#include <cstdlib>

#include "host/admin_test.h"
#include "platform/win32.h"
#include "uninstall/network_configuration.h"
#include "uninstall/progress_thread.h"
#include "uninstall/removal_state.h"

namespace {

const WCHAR kRemoveCaption[] = WTEXT("Remove Network Vorel Packet Driver");
const WCHAR kNotAdministratorText[] = WTEXT("You need administrator rights to uninstall the packet driver.");
const WCHAR kConfirmationText[] =
    WTEXT("Network Vorel will not work without the Packet Driver.\nAre you sure you want to uninstall it?");
const WCHAR kResultCaption[] = WTEXT("Driver uninstallation");
const WCHAR kRemovedText[] = WTEXT("Network Vorel Packet Driver successfully uninstalled.");
const WCHAR kNotRemovedText[] = WTEXT("Network Vorel Packet Driver failed to uninstall.");

constexpr HRESULT kNotConfirmed = -1;

}  // namespace

int wmain(int, WCHAR*[]) {
    HRESULT hr;
    DWORD dwProgressThreadId = 0;

    if (!AdministratorTest()) {
        MessageBoxW(NULL, kNotAdministratorText, kRemoveCaption, MB_OK | MB_ICONWARNING);
        exit(0);
    }

    if (MessageBoxW(NULL, kConfirmationText, kRemoveCaption, MB_YESNO | MB_ICONWARNING) == IDYES) {
        CreateThread(NULL, 0, ProgressThread, NULL, 0, &dwProgressThreadId);
        hr = RemovePacketDriver(PacketDriverComponentId);
        fflush(stdout);  // the transcript is out before a dialogue waits for the user, also on a pipe or a file
    } else {
        hr = kNotConfirmed;
    }

    if (hr == S_OK) {
        MessageBoxW(NULL, kRemovedText, kResultCaption, MB_OK | MB_ICONINFORMATION);
        exit(0);
    }
    if (hr == S_FALSE) {
        MessageBoxW(NULL, kNotRemovedText, kResultCaption, MB_OK | MB_ICONWARNING);
        exit(0);
    }
    return 0;
}
