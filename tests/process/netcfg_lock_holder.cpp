// Another program that holds the network configuration's write lock, for the whole-process tests of ousterling:
//   netcfg_lock_holder "<client description>"
// Takes the write lock through the platform's objects (CoCreateInstance(CLSID_CNetCfg), INetCfgLock), writes
// "locked" on standard output, holds the lock until its standard input closes, then gives it back and ends.
// Exit code 0 when the lock was taken, 1 when not.
#include <cstdio>
#include <string>

#include "platform/linux/unicode.h"
#include "platform/win32.h"

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: netcfg_lock_holder <client description>\n");
        return 2;
    }
    std::u16string description = Utf8ToUtf16(argv[1]);
    INetCfg* pConfig = nullptr;
    INetCfgLock* pLock = nullptr;
    LPWSTR pszHolder = nullptr;
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) ||
        FAILED(CoCreateInstance(CLSID_CNetCfg, nullptr, CLSCTX_INPROC_SERVER, IID_INetCfg,
                                reinterpret_cast<void**>(&pConfig))) ||
        FAILED(pConfig->QueryInterface(IID_INetCfgLock, reinterpret_cast<void**>(&pLock)))) {
        std::fprintf(stderr, "netcfg_lock_holder: no network configuration object\n");
        return 1;
    }
    HRESULT hr = pLock->AcquireWriteLock(5000, description.c_str(), &pszHolder);
    if (hr != S_OK) {
        std::fprintf(stderr, "netcfg_lock_holder: lock not taken (0x%08X, held by '%s')\n", static_cast<unsigned>(hr),
                     ConsoleText(pszHolder).c_str());
        return 1;
    }
    std::printf("locked\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    pLock->ReleaseWriteLock();
    pLock->Release();
    pConfig->Release();
    CoUninitialize();
    return 0;
}
