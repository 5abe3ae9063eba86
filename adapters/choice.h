// The adapter choice: a card number, or the console dialogue, turned into the device of one adapter.
#pragma once

#include "adapters/inventory.h"

constexpr int kDeviceNameBytes = 1024;

// What a successful choice hands to the capture session. Registry path: `wide` is set, `deviceNameW` points
// into `exportBuffer` and `descriptionW` is the chosen card's AdapterTable description, copied when the card
// was chosen (another thread may rewrite the table meanwhile). IP Helper path: the narrow device name and the
// adapter's description, copied. Both descriptions end in a NUL.
struct ChosenAdapter {
    bool wide;
    WCHAR exportBuffer[kLinkageExportBytes / sizeof(WCHAR)];
    const WCHAR* deviceNameW;
    WCHAR descriptionW[kAdapterTextUnits + 1];
    char deviceNameA[kDeviceNameBytes];
    char descriptionA[MAX_ADAPTER_DESCRIPTION_LENGTH + 4];
};

// Chooses by the path rule applied to `cardNumber`. Returns false when the start must fail (the lines are
// printed); ends the process where the user quits or the machine has no adapters to offer, unless Ctrl+C has
// begun (adapters/process_end.h): then it fails without a line.
bool ChooseAdapter(LONG cardNumber, ChosenAdapter* chosen);

// The first Linkage entry whose tail (after \Device\NetVorel_ from version 5, 15 units before) equals the
// ServiceName of card `choice` (at most its field's 150 units); nullptr when none does or the card has no
// AdapterTable record.
const WCHAR* MatchLinkageEntry(const LinkageEntryList* list, LONG choice);

// The console dialogue: lists the adapters through `printRows` until a number in 0..count is typed.
// 0 ends the process; end of input gives -1.
typedef void (*AdapterRowPrinter)(LONG count);
LONG PromptForCard(LONG count, AdapterRowPrinter printRows);

// Reads a decimal number from standard input; *ended receives the character that ended it.
// -1 when the first character is not a digit, or when the number does not fit a 32-bit int.
LONG ReadCardNumber(int* ended);
