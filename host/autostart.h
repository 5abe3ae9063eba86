// The tray-mode autostart entry: value "Network Vorel" under the machine-wide Run key.
#pragma once

#include <cstddef>

// The command line's buffer: at most 299 bytes of text and the terminating zero.
constexpr size_t kAutostartBufferSize = 300;
// The fixed pieces of the command line take 42 bytes: twice the home directory's length plus the launch
// text's may be at most 299 - 42 = 257.
constexpr size_t kAutostartFixedBytes = 42;

extern const char kRunKey[];            // SOFTWARE\Microsoft\Windows\CurrentVersion\Run under HKEY_LOCAL_MACHINE
extern const char kAutostartValueName[];  // "Network Vorel"

// Builds `javaw -cp "<home>./Vorel.jar" <launch> -home "<home>" -systray` into pBuffer (kAutostartBufferSize
// bytes), nothing escaped. Answers 0 and leaves pBuffer untouched when the line would exceed 299 bytes.
int BuildAutostartCommandLine(const char* pHome, const char* pLaunch, char* pBuffer);

// Writes the entry (REG_SZ, length + 1 bytes), creating the Run key when missing. Answers 0 when the line is
// too long (nothing is written), when the key cannot be opened or created, or when both the write and the
// close fail; 1 otherwise.
int InstallAutostartEntry(const char* pHome, const char* pLaunch);

// Deletes the entry, creating the Run key when missing. Answers 0 when the key cannot be opened or created,
// or when both the deletion and the close fail; 1 otherwise (no entry to delete included).
int RemoveAutostartEntry(void);
