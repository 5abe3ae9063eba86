// Test driver: runs the adapter choice for the card number given as argument and reports the outcome on a
// line of its own ("-> ..."), so that tests see the dialogue's exact transcript, the result and the exit.
#include <cstdio>
#include <cstdlib>

#include "adapters/choice.h"

int main(int argc, char** argv) {
    LONG card = argc > 1 ? std::atoi(argv[1]) : -1;
    nRequestedCard = card;
    static ChosenAdapter chosen;
    bool ok = ChooseAdapter(card, &chosen);
    if (!ok) {
        printf("-> failed | selected %d | count %d\n", static_cast<int>(nSelectedCard), static_cast<int>(nAdapterCount));
        return 0;
    }
    if (chosen.wide)
        printf("-> device %s | %s", ConsoleText(chosen.deviceNameW).c_str(), ConsoleText(chosen.descriptionW, kAdapterTextUnits).c_str());
    else
        printf("-> device %s | %s", chosen.deviceNameA, chosen.descriptionA);
    printf(" | selected %d | count %d\n", static_cast<int>(nSelectedCard), static_cast<int>(nAdapterCount));
    return 0;
}
