// The tray-mode autostart entry: a javaw command line under the machine-wide Run key, written
// with the ANSI registry calls from the bytes the Java side gave, unconverted. Nothing is printed.
#include "host/autostart.h"

#include <cstring>

#include "platform/win32.h"

const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kAutostartValueName[] = "Network Vorel";

namespace {

// The eight pieces are: "javaw -cp ", "\"", home, "./Vorel.jar\" ", launch, " -home \"", home, "\" -systray".
const char kPiece1[] = "javaw -cp ";
const char kPiece2[] = "\"";
const char kPiece4[] = "./Vorel.jar\" ";
const char kPiece6[] = " -home \"";
const char kPiece8[] = "\" -systray";
static_assert(sizeof kPiece1 - 1 + sizeof kPiece2 - 1 + sizeof kPiece4 - 1 + sizeof kPiece6 - 1 + sizeof kPiece8 - 1 ==
                  kAutostartFixedBytes,
              "the fixed pieces take 42 bytes");

char* Append(char* pAt, const char* pText, size_t nLength) {
    std::memcpy(pAt, pText, nLength);
    return pAt + nLength;
}

// RegCreateKeyExA on the Run key as the autostart entry needs it; NULL when it cannot be opened or created.
HKEY OpenRunKey(void) {
    HKEY hKey = NULL;
    DWORD dwDisposition = 0;  // created or opened: not looked at
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &hKey,
                        &dwDisposition) != ERROR_SUCCESS)
        return NULL;
    return hKey;
}

}  // namespace

int BuildAutostartCommandLine(const char* pHome, const char* pLaunch, char* pBuffer) {
    size_t nHome = std::strlen(pHome);
    size_t nLaunch = std::strlen(pLaunch);
    // Compared piece by piece so that no sum can wrap.
    size_t nRoom = kAutostartBufferSize - 1 - kAutostartFixedBytes;
    if (nHome > nRoom / 2 || nLaunch > nRoom - 2 * nHome) return 0;
    char* pAt = pBuffer;
    pAt = Append(pAt, kPiece1, sizeof kPiece1 - 1);
    pAt = Append(pAt, kPiece2, sizeof kPiece2 - 1);
    pAt = Append(pAt, pHome, nHome);
    pAt = Append(pAt, kPiece4, sizeof kPiece4 - 1);
    pAt = Append(pAt, pLaunch, nLaunch);
    pAt = Append(pAt, kPiece6, sizeof kPiece6 - 1);
    pAt = Append(pAt, pHome, nHome);
    pAt = Append(pAt, kPiece8, sizeof kPiece8 - 1);
    *pAt = '\0';
    return 1;
}

int InstallAutostartEntry(const char* pHome, const char* pLaunch) {
    char CommandLine[kAutostartBufferSize];
    if (!BuildAutostartCommandLine(pHome, pLaunch, CommandLine)) return 0;
    HKEY hKey = OpenRunKey();
    if (hKey == NULL) return 0;
    LONG nSetStatus = RegSetValueExA(hKey, kAutostartValueName, 0, REG_SZ, (const BYTE*)CommandLine,
                                     (DWORD)(std::strlen(CommandLine) + 1));
    RegCloseKey(hKey);
    // The answer is the write's: a value that was not written is no autostart entry, however the close went.
    return nSetStatus == ERROR_SUCCESS ? 1 : 0;
}

int RemoveAutostartEntry(void) {
    HKEY hKey = OpenRunKey();
    if (hKey == NULL) return 0;
    LONG nDeleteStatus = RegDeleteValueA(hKey, kAutostartValueName);
    RegCloseKey(hKey);
    // No entry afterwards, whether this call deleted it or there was none, is success; a refused deletion is not.
    return nDeleteStatus == ERROR_SUCCESS || nDeleteStatus == ERROR_FILE_NOT_FOUND ? 1 : 0;
}
