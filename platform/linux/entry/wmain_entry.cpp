// A console program's wide-character main function on Linux: the C run-time starts at main, which hands the
// arguments over as UTF-16 (what wmain receives on Windows, where the program links with -municode).
// Built into the programs that define wmain, not into the platform library.
#include <string>
#include <vector>

#include "../unicode.h"

int wmain(int argc, WCHAR* argv[]);

int main(int argc, char* argv[]) {
    std::vector<std::u16string> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(Utf8ToUtf16(argv[i]));
    std::vector<WCHAR*> vector;
    for (std::u16string& argument : arguments) vector.push_back(argument.data());
    vector.push_back(nullptr);
    return wmain(argc, vector.data());
}
