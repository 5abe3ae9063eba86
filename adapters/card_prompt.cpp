// The console dialogue in which the user picks an adapter by number.
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "adapters/choice.h"
#include "adapters/process_end.h"

LONG ReadCardNumber(int* ended) {
    int c = getc(stdin);
    LONG n = isdigit(c) ? 0 : -1;
    bool tooLarge = false;
    while (isdigit(c)) {
        int digit = c - '0';
        if (n > (INT_MAX - digit) / 10) tooLarge = true;  // keep reading the digits, but the answer is invalid
        if (!tooLarge) n = n * 10 + digit;
        c = getc(stdin);
    }
    *ended = c;
    return tooLarge ? -1 : n;
}

LONG PromptForCard(LONG count, AdapterRowPrinter printRows) {
    LONG choice = -1;
    while (choice < 0 || choice > count) {
        if (CtrlCHasBegun()) return -1;
        printf("These are the network adapters installed on your computer:\n");
        printf("ID, Adapter name\n");
        printRows(count);
        printf("\n");
        printf("Please enter the ID for the Adapter name you wish to use or enter 0 to quit: ");
        fflush(stdout);
        int c = 0;
        LONG n = ReadCardNumber(&c);
        if (n < 0 && c == EOF) {
            // Nobody can answer any more: fail the start rather than ask for ever.
            if (CtrlCHasBegun()) return -1;
            printf("\nNo adapter chosen: standard input has ended.\n");
            fflush(stdout);
            return -1;
        }
        if (n >= 0 && n <= count) {
            choice = n;
            nSelectedCard = n;
        } else {
            choice = -1;
            printf("\nInvalid choice. Enter a digit between 1 and %d\n", static_cast<int>(count));
            while (c != '\n' && c != EOF) c = getc(stdin);
        }
    }
    if (choice == 0) {
        if (!BeginEndingFromChoice()) return -1;
        printf("User choose to quit instead of specifying an adapter.\n");
        exit(0);
    }
    return choice;
}
