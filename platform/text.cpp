#include "win32.h"

size_t WideLength(const WCHAR* text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != 0) ++n;
    return n;
}

int WideCompare(const WCHAR* a, const WCHAR* b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    auto ua = static_cast<unsigned short>(*a);
    auto ub = static_cast<unsigned short>(*b);
    return ua < ub ? -1 : (ua > ub ? 1 : 0);
}
