// The console dialogue on arbitrary standard input: ReadCardNumber (digits, huge numbers, any byte, end of
// input) and PromptForCard (the whole transcript, the answer, what is left unread). An answer of 0 ends the
// process with exit(0): that case runs in a forked child whose exit code and transcript are checked.
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "adapters/choice.h"
#include "fuzz/fuzz_check.h"

namespace {

const char kHeader[] = "These are the network adapters installed on your computer:\nID, Adapter name\n";
const char kPrompt[] = "Please enter the ID for the Adapter name you wish to use or enter 0 to quit: ";
const char kEnded[] = "\nNo adapter chosen: standard input has ended.\n";
const char kQuit[] = "User choose to quit instead of specifying an adapter.\n";
constexpr LONG kUnchanged = -12345;

void Rows(LONG count) { printf("(the rows of %ld adapters)\n", static_cast<long>(count)); }

std::string RowsText(LONG count) { return "(the rows of " + std::to_string(count) + " adapters)\n"; }

// Standard input as the model reads it: getc, with EOF once the bytes are used up.
struct Typed {
    const uint8_t* bytes;
    size_t size;
    size_t position = 0;
    int Next() { return position < size ? bytes[position++] : EOF; }
};

struct Number {
    LONG n;
    int ended;
};

Number ExpectedNumber(Typed& typed) {
    int c = typed.Next();
    if (c < '0' || c > '9') return {-1, c};
    long long n = 0;
    bool tooLarge = false;
    while (c >= '0' && c <= '9') {
        if (!tooLarge) n = n * 10 + (c - '0');
        if (n > INT_MAX) tooLarge = true;
        c = typed.Next();
    }
    return {tooLarge ? -1 : static_cast<LONG>(n), c};
}

struct Dialogue {
    std::string transcript;
    LONG result;  // the choice; 0 means the process ends with exit(0)
    LONG selected;
    size_t consumed;
};

Dialogue ExpectedDialogue(Typed typed, LONG count) {
    Dialogue d{"", -1, kUnchanged, 0};
    LONG choice = -1;
    while (choice < 0 || choice > count) {
        d.transcript += kHeader + RowsText(count) + "\n" + kPrompt;
        Number number = ExpectedNumber(typed);
        if (number.n < 0 && number.ended == EOF) {
            d.transcript += kEnded;
            d.consumed = typed.position;
            return d;
        }
        if (number.n >= 0 && number.n <= count) {
            choice = number.n;
            d.selected = number.n;
        } else {
            d.transcript += "\nInvalid choice. Enter a digit between 1 and " + std::to_string(count) + "\n";
            for (int c = number.ended; c != '\n' && c != EOF;) c = typed.Next();
        }
    }
    if (choice == 0) d.transcript += kQuit;
    d.result = choice;
    d.consumed = typed.position;
    return d;
}

// Standard input from the fuzzer's bytes (an empty input is /dev/null: fmemopen refuses size 0).
FILE* OpenTyped(const uint8_t* bytes, size_t size) {
    FILE* file = size == 0 ? std::fopen("/dev/null", "r") : fmemopen(const_cast<uint8_t*>(bytes), size, "r");
    FUZZ_CHECK(file != nullptr, "standard input from %zu bytes", size);
    return file;
}

void CheckReadCardNumber(const uint8_t* bytes, size_t size) {
    Typed typed{bytes, size};
    FILE* saved = stdin;
    stdin = OpenTyped(bytes, size);
    for (size_t call = 0; call <= size + 1; ++call) {
        Number expected = ExpectedNumber(typed);
        int ended = 0;
        LONG n = ReadCardNumber(&ended);
        FUZZ_CHECK(n == expected.n && ended == expected.ended, "call %zu: %ld ended by %d, expected %ld ended by %d", call,
                   static_cast<long>(n), ended, static_cast<long>(expected.n), expected.ended);
        FUZZ_CHECK(static_cast<size_t>(std::ftell(stdin)) == typed.position, "call %zu: %ld bytes read, expected %zu", call,
                   std::ftell(stdin), typed.position);
        if (ended == EOF) break;
    }
    std::fclose(stdin);
    stdin = saved;
}

void ChildExit(int status, void*) {
    std::fflush(stdout);
    _exit(status);
}

// The quit answer: the dialogue runs in a child, which must end with exit code 0 and the whole transcript.
void CheckQuit(const uint8_t* bytes, size_t size, LONG count, const Dialogue& expected) {
    int pipeEnds[2];
    FUZZ_CHECK(pipe(pipeEnds) == 0, "a pipe for the child's transcript");
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = fork();
    FUZZ_CHECK(child >= 0, "fork");
    if (child == 0) {
        close(pipeEnds[0]);
        stdout = fdopen(pipeEnds[1], "w");
        stdin = OpenTyped(bytes, size);
        on_exit(ChildExit, nullptr);  // runs before anything registered earlier, with the code exit was given
        PromptForCard(count, Rows);
        std::fflush(stdout);
        _exit(99);  // the dialogue returned instead of ending the process
    }
    close(pipeEnds[1]);
    std::string transcript;
    char chunk[4096];
    for (ssize_t n; (n = read(pipeEnds[0], chunk, sizeof chunk)) != 0;) {
        if (n < 0) continue;  // EINTR
        transcript.append(chunk, static_cast<size_t>(n));
    }
    close(pipeEnds[0]);
    int status = 0;
    FUZZ_CHECK(waitpid(child, &status, 0) == child, "the child ends");
    FUZZ_CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the quit answer ends the process with 0 (status 0x%x)", status);
    FUZZ_CHECK(transcript == expected.transcript, "quit transcript:\n%s\n-- expected --\n%s", transcript.c_str(),
               expected.transcript.c_str());
}

void CheckPromptForCard(const uint8_t* bytes, size_t size, LONG count) {
    Dialogue expected = ExpectedDialogue(Typed{bytes, size}, count);
    if (expected.result == 0) {
        CheckQuit(bytes, size, count, expected);
        return;
    }
    FILE* savedIn = stdin;
    FILE* savedOut = stdout;
    char* output = nullptr;
    size_t outputSize = 0;
    stdin = OpenTyped(bytes, size);
    stdout = open_memstream(&output, &outputSize);
    FUZZ_CHECK(stdout != nullptr, "a memory stream for the transcript");
    nSelectedCard = kUnchanged;
    LONG result = PromptForCard(count, Rows);
    long consumed = std::ftell(stdin);
    std::fclose(stdout);
    std::fclose(stdin);
    stdout = savedOut;
    stdin = savedIn;
    std::string transcript(output, outputSize);
    std::free(output);
    FUZZ_CHECK(result == expected.result, "answer %ld, expected %ld", static_cast<long>(result), static_cast<long>(expected.result));
    FUZZ_CHECK(nSelectedCard == expected.selected, "nSelectedCard %ld, expected %ld", static_cast<long>(nSelectedCard.load()),
               static_cast<long>(expected.selected));
    FUZZ_CHECK(static_cast<size_t>(consumed) == expected.consumed, "%ld bytes read, expected %zu (the rest stays unread)", consumed,
               expected.consumed);
    FUZZ_CHECK(transcript == expected.transcript, "transcript:\n%s\n-- expected --\n%s", transcript.c_str(), expected.transcript.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

// Input: a mode byte (below 0x20: ReadCardNumber until end of input; else PromptForCard with 2..17 adapters,
// or 0, 1 and INT_MAX of them), then the bytes typed.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint8_t mode = data[0];
    const uint8_t* typed = data + 1;
    size_t typedSize = size - 1;
    if (mode < 0x20) {
        CheckReadCardNumber(typed, typedSize);
        return 0;
    }
    LONG count = 2 + mode % 16;
    if (mode == 0xFD) count = 0;
    if (mode == 0xFE) count = 1;
    if (mode == 0xFF) count = INT_MAX;
    CheckPromptForCard(typed, typedSize, count);
    return 0;
}
