// The JNI harness for Windows, shared by the programs that call tamsil.dll as a JVM does: loads it with
// LoadLibrary, finds every export with GetProcAddress by the name a JVM looks up (64-bit:
// Java_<class>_<method>; 32-bit: _Java_<class>_<method>@N, N the bytes of its arguments), and calls it with a
// JNIEnv whose function table implements exactly the JNI functions the library uses. Any other JNI function
// fails the test and is named; so do unbalanced Get/Release pairs, references the "JVM" never handed out, JNI
// calls made while an exception is pending, invalid modified UTF-8 given to NewStringUTF, and an exception left
// pending when an export returns. On 32-bit Windows every call goes through a small assembly caller that checks
// what a __stdcall callee promises the JVM: it removes exactly its N bytes of arguments (ESP as before the call)
// and keeps EBX, ESI and EDI. Included by one source file per program.
#pragma once

#include <gtest/gtest.h>
#include <jni.h>

#include <windows.h>
#include <iphlpapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "jni_slot_names.h"
#include "windows/win32/wine_imports.h"

namespace {

constexpr size_t kSlots = sizeof(JNINativeInterface_) / sizeof(void*);
static_assert(kSlots == sizeof(kJniSlotNames) / sizeof(kJniSlotNames[0]), "jni.h's table and its names agree");

constexpr bool k32Bit = sizeof(void*) == 4;
const char kClassPrefix[] = "Java_com_larkspire_vorel_util_NativeCollection_";
// Each method with the stack bytes of its __stdcall arguments: JNIEnv*, the calling object, the Java arguments.
const struct {
    const char* method;
    int stackBytes;
} kExports[] = {{"DriverStart", 12},       {"DriverStop", 8},          {"FreeOnExit", 8},      {"GetFrameFromDriver", 16},
                {"SetPausedOn", 12},       {"IsPausedOn", 8},          {"GetCardNumbers", 8},  {"GetCardDescription", 12},
                {"GetCardNumber", 8},      {"isAdmin", 8},             {"isServiceInstalled", 8}, {"isServiceRunning", 8},
                {"startService", 8},       {"stopService", 8},         {"deleteService", 8},   {"installSystray", 16},
                {"removeSystray", 8},      {"messageBox", 12}};

// The name a JVM of this build's width looks up first.
std::string ExportName(const char* method, int stackBytes) {
    if (!k32Bit) return std::string(kClassPrefix) + method;
    return "_" + std::string(kClassPrefix) + method + "@" + std::to_string(stackBytes);
}

#if defined(__i386__)
int StackBytes(const std::string& method) {
    for (const auto& e : kExports) {
        if (method == e.method) return e.stackBytes;
    }
    return -1;
}

// What one checked __stdcall call left: EAX, how far ESP ended from where it was before the arguments were
// pushed (0 when the callee removed exactly its arguments), and which of EBX, ESI, EDI came back changed
// (bits 0, 1, 2).
struct CheckedCall {
    uint32_t eax;
    int32_t stackChange;
    uint32_t changedRegisters;
};

// Pushes words[count-1] .. words[0] (so words[0] is the first argument), calls `function` with marks in EBX, ESI
// and EDI, and fills *out. 64 bytes of guard lie between the saved registers and the arguments, and ESP is set
// back from EBP afterwards: a callee that removes too much or too little, or writes to the slots it takes for
// its arguments, is reported rather than crashing the harness.
extern "C" __attribute__((naked)) void CallStdcallChecked(void* /*function*/, const uint32_t* /*words*/,
                                                          uint32_t /*count*/, CheckedCall* /*out*/) {
    asm volatile(
        "pushl %ebp\n\t"
        "movl %esp, %ebp\n\t"
        "pushl %ebx\n\t"
        "pushl %esi\n\t"
        "pushl %edi\n\t"
        "subl $64, %esp\n\t"              // ESP before the arguments: EBP - 76
        "movl 12(%ebp), %esi\n\t"
        "movl 16(%ebp), %ecx\n"
        "1:\n\t"
        "testl %ecx, %ecx\n\t"
        "jz 2f\n\t"
        "decl %ecx\n\t"
        "pushl (%esi,%ecx,4)\n\t"
        "jmp 1b\n"
        "2:\n\t"
        "movl 8(%ebp), %eax\n\t"
        "movl $0x5EB05EB0, %ebx\n\t"
        "movl $0x51515151, %esi\n\t"
        "movl $0xD1D1D1D1, %edi\n\t"
        "call *%eax\n\t"
        "leal -76(%ebp), %ecx\n\t"
        "movl %esp, %edx\n\t"
        "subl %ecx, %edx\n\t"             // the stack change
        "xorl %ecx, %ecx\n\t"
        "cmpl $0x5EB05EB0, %ebx\n\t"
        "je 3f\n\t"
        "orl $1, %ecx\n"
        "3:\n\t"
        "cmpl $0x51515151, %esi\n\t"
        "je 4f\n\t"
        "orl $2, %ecx\n"
        "4:\n\t"
        "cmpl $0xD1D1D1D1, %edi\n\t"
        "je 5f\n\t"
        "orl $4, %ecx\n"
        "5:\n\t"
        "movl 20(%ebp), %esi\n\t"
        "movl %eax, (%esi)\n\t"
        "movl %edx, 4(%esi)\n\t"
        "movl %ecx, 8(%esi)\n\t"
        "leal -12(%ebp), %esp\n\t"
        "popl %edi\n\t"
        "popl %esi\n\t"
        "popl %ebx\n\t"
        "popl %ebp\n\t"
        "ret\n\t");
}

// One argument as the 32-bit word a JVM pushes for it (a jboolean widened, as a C caller widens it).
template <typename T>
uint32_t ArgumentWord(T value) {
    static_assert(sizeof(T) <= 4, "every JNI argument of these exports is one 32-bit word");
    if constexpr (std::is_pointer_v<T>) {
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
    } else {
        return static_cast<uint32_t>(value);
    }
}

// The result as the caller reads it from EAX (of a jboolean, AL only).
template <typename Result>
Result ResultFromEax(uint32_t eax) {
    if constexpr (std::is_pointer_v<Result>) {
        return reinterpret_cast<Result>(static_cast<uintptr_t>(eax));
    } else {
        return static_cast<Result>(eax);
    }
}
#endif

// ---- The "Java" side: objects the fake JVM hands out as references ----
struct JavaObject {
    virtual ~JavaObject() = default;
};
struct JavaString : JavaObject {
    std::u16string units;
};
struct JavaByteArray : JavaObject {
    std::vector<jbyte> bytes;
};

// Modified UTF-8 (JNI): NUL as C0 80, every UTF-16 unit on its own (surrogates as 3 bytes), no 4-byte forms.
std::string ToModifiedUtf8(const std::u16string& units) {
    std::string out;
    for (char16_t u : units) {
        if (u != 0 && u < 0x80) {
            out += static_cast<char>(u);
        } else if (u < 0x800) {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return out;
}

bool FromModifiedUtf8(const char* text, std::u16string* units) {
    auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    for (size_t i = 0; text[i] != 0;) {
        unsigned char c = at(i);
        if (c < 0x80) {
            units->push_back(c);
            i += 1;
        } else if ((c & 0xE0) == 0xC0 && (at(i + 1) & 0xC0) == 0x80) {
            units->push_back(static_cast<char16_t>(((c & 0x1F) << 6) | (at(i + 1) & 0x3F)));
            i += 2;
        } else if ((c & 0xF0) == 0xE0 && (at(i + 1) & 0xC0) == 0x80 && (at(i + 2) & 0xC0) == 0x80) {
            units->push_back(static_cast<char16_t>(((c & 0x0F) << 12) | ((at(i + 1) & 0x3F) << 6) | (at(i + 2) & 0x3F)));
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

// ---- The fake JVM: one JNIEnv, its function table, and the bookkeeping of what the library did with it ----
class FakeJvm {
public:
    FakeJvm();
    ~FakeJvm() { current_ = nullptr; }
    FakeJvm(const FakeJvm&) = delete;
    FakeJvm& operator=(const FakeJvm&) = delete;

    JNIEnv* Env() { return &env_; }
    jobject This() { return reinterpret_cast<jobject>(&self_); }
    jstring NewJavaString(const std::string& modifiedUtf8) {
        auto string = std::make_unique<JavaString>();
        EXPECT_TRUE(FromModifiedUtf8(modifiedUtf8.c_str(), &string->units));
        return reinterpret_cast<jstring>(Keep(std::move(string)));
    }
    jbyteArray NewJavaArray(size_t length, jbyte fill) {
        auto array = std::make_unique<JavaByteArray>();
        array->bytes.assign(length, fill);
        return reinterpret_cast<jbyteArray>(Keep(std::move(array)));
    }
    // The content of a string the library made, as modified UTF-8 (nullptr: a null reference).
    std::string Text(jstring string) {
        auto* s = Find<JavaString>(string);
        return s != nullptr ? ToModifiedUtf8(s->units) : std::string("<not a Java string>");
    }
    const std::vector<jbyte>& Bytes(jbyteArray array) { return Find<JavaByteArray>(array)->bytes; }
    int Calls(const char* function) const {
        auto it = calls_.find(function);
        return it == calls_.end() ? 0 : it->second;
    }
    // Everything the library did wrong with the JNIEnv, plus whatever is still held when asked.
    std::vector<std::string> Problems() const {
        std::vector<std::string> out = problems_;
        if (!utfChars_.empty()) out.push_back(std::to_string(utfChars_.size()) + " GetStringUTFChars result(s) not released");
        if (!elements_.empty()) out.push_back(std::to_string(elements_.size()) + " GetByteArrayElements result(s) not released");
        return out;
    }
    // After an export returns: no exception may be left for Java.
    void ExportReturned(const char* method) {
        if (pending_) problems_.push_back(std::string(method) + " returned with a Java exception pending");
        pending_ = false;
    }
    const std::vector<std::string>& Exceptions() const { return exceptions_; }
    // Run inside SetByteArrayRegion before it copies: a JVM whose copy is held up (a thread stopped at a safepoint).
    std::function<void()> beforeCopy;

    // Each thread's own, as each thread of a JVM has its own JNIEnv.
    static thread_local FakeJvm* current_;
    void Unexpected(size_t slot) {
        problems_.push_back(std::string("JNI function not expected of the library: ") + kJniSlotNames[slot]);
    }

private:
    JavaObject* Keep(std::unique_ptr<JavaObject> object) {
        objects_.push_back(std::move(object));
        return objects_.back().get();
    }
    template <typename T>
    T* Find(void* reference) {
        for (auto& object : objects_) {
            if (object.get() == reference) {
                if (auto* typed = dynamic_cast<T*>(object.get())) return typed;
            }
        }
        return nullptr;
    }
    // Every implemented JNI function starts here: counts the call, checks the pending-exception rule.
    static FakeJvm& Enter(const char* function, bool allowedWithException = false) {
        FakeJvm& jvm = *current_;
        ++jvm.calls_[function];
        if (jvm.pending_ && !allowedWithException) {
            jvm.problems_.push_back(std::string(function) + " called with a Java exception pending");
        }
        return jvm;
    }
    void Throw(const std::string& exception) {
        exceptions_.push_back(exception);
        pending_ = true;
    }
    template <typename T>
    T* Ref(void* reference, const char* function) {
        T* object = Find<T>(reference);
        if (object == nullptr) problems_.push_back(std::string(function) + " given a reference the JVM did not hand out");
        return object;
    }

    // -- The JNI functions the library uses --
    static jboolean JNICALL ExceptionCheck(JNIEnv*) { return Enter("ExceptionCheck", true).pending_ ? JNI_TRUE : JNI_FALSE; }
    static void JNICALL ExceptionClear(JNIEnv*) { Enter("ExceptionClear", true).pending_ = false; }
    static jsize JNICALL GetArrayLength(JNIEnv*, jarray array) {
        FakeJvm& jvm = Enter("GetArrayLength");
        auto* a = jvm.Ref<JavaByteArray>(array, "GetArrayLength");
        return a != nullptr ? static_cast<jsize>(a->bytes.size()) : 0;
    }
    static void JNICALL SetByteArrayRegion(JNIEnv*, jbyteArray array, jsize start, jsize length, const jbyte* buffer) {
        FakeJvm& jvm = Enter("SetByteArrayRegion");
        auto* a = jvm.Ref<JavaByteArray>(array, "SetByteArrayRegion");
        if (a == nullptr) return;
        if (jvm.beforeCopy) jvm.beforeCopy();
        if (start < 0 || length < 0 || static_cast<size_t>(start) + static_cast<size_t>(length) > a->bytes.size()) {
            jvm.Throw("java/lang/ArrayIndexOutOfBoundsException");
            return;
        }
        if (length > 0) std::memcpy(a->bytes.data() + start, buffer, static_cast<size_t>(length));
    }
    static jbyte* JNICALL GetByteArrayElements(JNIEnv*, jbyteArray array, jboolean* isCopy) {
        FakeJvm& jvm = Enter("GetByteArrayElements");
        auto* a = jvm.Ref<JavaByteArray>(array, "GetByteArrayElements");
        if (a == nullptr) return nullptr;
        auto* copy = static_cast<jbyte*>(std::malloc(a->bytes.size() + 1));
        std::memcpy(copy, a->bytes.data(), a->bytes.size());
        jvm.elements_[copy] = a;
        if (isCopy != nullptr) *isCopy = JNI_TRUE;
        return copy;
    }
    static void JNICALL ReleaseByteArrayElements(JNIEnv*, jbyteArray array, jbyte* elements, jint mode) {
        FakeJvm& jvm = Enter("ReleaseByteArrayElements", true);
        auto it = jvm.elements_.find(elements);
        if (it == jvm.elements_.end() || reinterpret_cast<void*>(it->second) != reinterpret_cast<void*>(array)) {
            jvm.problems_.push_back("ReleaseByteArrayElements of elements not got from that array");
            return;
        }
        if (mode == 0 || mode == JNI_COMMIT) std::memcpy(it->second->bytes.data(), elements, it->second->bytes.size());
        if (mode != JNI_COMMIT) {
            std::free(elements);
            jvm.elements_.erase(it);
        }
    }
    static jstring JNICALL NewString(JNIEnv*, const jchar* units, jsize length) {
        FakeJvm& jvm = Enter("NewString");
        if (length < 0 || (length > 0 && units == nullptr)) {
            jvm.problems_.push_back("NewString with a negative length or no characters");
            return nullptr;
        }
        auto string = std::make_unique<JavaString>();
        string->units.assign(reinterpret_cast<const char16_t*>(units), static_cast<size_t>(length));
        return reinterpret_cast<jstring>(jvm.Keep(std::move(string)));
    }
    static jstring JNICALL NewStringUTF(JNIEnv*, const char* text) {
        FakeJvm& jvm = Enter("NewStringUTF");
        if (text == nullptr) return nullptr;
        auto string = std::make_unique<JavaString>();
        if (!FromModifiedUtf8(text, &string->units)) {
            jvm.problems_.push_back(std::string("NewStringUTF given bytes that are not modified UTF-8: ") + text);
        }
        return reinterpret_cast<jstring>(jvm.Keep(std::move(string)));
    }
    static const char* JNICALL GetStringUTFChars(JNIEnv*, jstring string, jboolean* isCopy) {
        FakeJvm& jvm = Enter("GetStringUTFChars");
        auto* s = jvm.Ref<JavaString>(string, "GetStringUTFChars");
        if (s == nullptr) return nullptr;
        std::string text = ToModifiedUtf8(s->units);
        char* copy = static_cast<char*>(std::malloc(text.size() + 1));
        std::memcpy(copy, text.c_str(), text.size() + 1);
        jvm.utfChars_[copy] = s;
        if (isCopy != nullptr) *isCopy = JNI_TRUE;
        return copy;
    }
    static void JNICALL ReleaseStringUTFChars(JNIEnv*, jstring string, const char* chars) {
        FakeJvm& jvm = Enter("ReleaseStringUTFChars", true);
        auto it = jvm.utfChars_.find(chars);
        if (it == jvm.utfChars_.end() || reinterpret_cast<void*>(it->second) != reinterpret_cast<void*>(string)) {
            jvm.problems_.push_back("ReleaseStringUTFChars of characters not got from that string");
            return;
        }
        std::free(const_cast<char*>(chars));
        jvm.utfChars_.erase(it);
    }

    JNINativeInterface_ table_;
    JNIEnv env_;
    JavaObject self_;
    std::vector<std::unique_ptr<JavaObject>> objects_;
    std::map<std::string, int> calls_;
    std::vector<std::string> problems_;
    std::vector<std::string> exceptions_;
    std::map<const char*, JavaString*> utfChars_;
    std::map<jbyte*, JavaByteArray*> elements_;
    bool pending_ = false;
};

thread_local FakeJvm* FakeJvm::current_ = nullptr;

template <size_t Slot>
void* JNICALL UnexpectedJniCall() {
    if constexpr (k32Bit) {
        // A __stdcall callee must remove its caller's arguments, and how many there were is not known here:
        // returning would leave the library's stack wrong. Name the function and end the run instead.
        std::fprintf(stderr, "JNI function not expected of the library: %s\n", kJniSlotNames[Slot]);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    FakeJvm::current_->Unexpected(Slot);
    return nullptr;
}

template <size_t... Slot>
void FillWithUnexpected(void** slots, std::index_sequence<Slot...>) {
    ((slots[Slot] = reinterpret_cast<void*>(&UnexpectedJniCall<Slot>)), ...);
}

FakeJvm::FakeJvm() {
    void* slots[kSlots];
    FillWithUnexpected(slots, std::make_index_sequence<kSlots>());
    for (size_t i = 0; i < 4; ++i) slots[i] = nullptr;  // reserved0..3
    std::memcpy(&table_, slots, sizeof table_);
    table_.ExceptionCheck = &ExceptionCheck;
    table_.ExceptionClear = &ExceptionClear;
    table_.GetArrayLength = &GetArrayLength;
    table_.SetByteArrayRegion = &SetByteArrayRegion;
    table_.GetByteArrayElements = &GetByteArrayElements;
    table_.ReleaseByteArrayElements = &ReleaseByteArrayElements;
    table_.NewString = &NewString;
    table_.NewStringUTF = &NewStringUTF;
    table_.GetStringUTFChars = &GetStringUTFChars;
    table_.ReleaseStringUTFChars = &ReleaseStringUTFChars;
    env_.functions = &table_;
    current_ = this;
}

// ---- The harness ----
// The fixture: tamsil.dll loaded once for the program (a program's fixture derives from it, and may patch the
// library's imports in its own SetUpTestSuite), a fresh JNIEnv per case.
class JniHarnessBase : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        library_ = LoadLibraryA("tamsil.dll");
        if (library_ == nullptr) return;
        for (const auto& e : kExports) {
            FARPROC proc = GetProcAddress(library_, ExportName(e.method, e.stackBytes).c_str());
            if (proc != nullptr) exports_[e.method] = reinterpret_cast<void (*)(void)>(proc);
        }
    }
    static void TearDownTestSuite() {
        // tamsil.dll stays loaded until the process ends, as in a JVM.
    }
    void SetUp() override {
        ASSERT_NE(library_, nullptr) << "LoadLibrary(\"tamsil.dll\") failed with " << GetLastError();
        jvm_ = std::make_unique<FakeJvm>();
    }
    void TearDown() override {
        if (jvm_ == nullptr) return;  // SetUp failed before making it (tamsil.dll did not load)
        for (const auto& problem : jvm_->Problems()) ADD_FAILURE() << problem;
        jvm_.reset();
    }

    static bool Has(const char* method) { return exports_.count(method) != 0; }
    static bool RequireAll() { return std::getenv("TAMSIL_REQUIRE_ALL_EXPORTS") != nullptr; }

    // Calls the export as the JVM would: the JNIEnv, the calling object, then the Java arguments.
    template <typename Result, typename... Args>
    Result Call(const char* method, Args... args) {
        return CallWith<Result>(*jvm_, method, args...);
    }
    // The same through `jvm`, the JNIEnv of another thread (made on that thread).
    template <typename Result, typename... Args>
    static Result CallWith(FakeJvm& jvm, const char* method, Args... args) {
#if defined(__i386__)
        EXPECT_EQ(static_cast<int>(8 + 4 * sizeof...(Args)), StackBytes(method)) << "the harness's call of " << method;
        const uint32_t words[] = {ArgumentWord(jvm.Env()), ArgumentWord(jvm.This()), ArgumentWord(args)...};
        CheckedCall call{};
        CallStdcallChecked(reinterpret_cast<void*>(exports_.at(method)), words, sizeof...(Args) + 2, &call);
        fflush(stdout);
        jvm.ExportReturned(method);
        EXPECT_EQ(call.stackChange, 0) << method << " left ESP moved (bytes; positive: it removed too much)";
        EXPECT_EQ(call.changedRegisters, 0u) << method << " changed the caller's EBX (1), ESI (2) or EDI (4)";
        {
            std::lock_guard<std::mutex> hold(stackCheckedLock_);
            ++stackChecked_[method];
        }
        if constexpr (!std::is_void_v<Result>) return ResultFromEax<Result>(call.eax);
#else
        using Function = Result(JNICALL*)(JNIEnv*, jobject, Args...);
        auto function = reinterpret_cast<Function>(exports_.at(method));
        if constexpr (std::is_void_v<Result>) {
            function(jvm.Env(), jvm.This(), args...);
            fflush(stdout);
            jvm.ExportReturned(method);
        } else {
            Result result = function(jvm.Env(), jvm.This(), args...);
            fflush(stdout);
            jvm.ExportReturned(method);
            return result;
        }
#endif
    }
    // The same with standard output captured into *out.
    template <typename Result, typename... Args>
    Result CallCaptured(std::string* out, const char* method, Args... args) {
        ::testing::internal::CaptureStdout();
        if constexpr (std::is_void_v<Result>) {
            Call<void>(method, args...);
            *out = ::testing::internal::GetCapturedStdout();
        } else {
            Result result = Call<Result>(method, args...);
            *out = ::testing::internal::GetCapturedStdout();
            return result;
        }
    }

    inline static HMODULE library_ = nullptr;
    inline static std::map<std::string, void (*)(void)> exports_;
    inline static std::map<std::string, int> stackChecked_;  // 32-bit: the calls made through CallStdcallChecked
    inline static std::mutex stackCheckedLock_;
    std::unique_ptr<FakeJvm> jvm_;
};


// Skips a case whose exports the library does not define yet (fails instead with TAMSIL_REQUIRE_ALL_EXPORTS).
#define REQUIRE_EXPORTS(...)                                                                          \
    do {                                                                                              \
        for (const char* method_ : {__VA_ARGS__}) {                                                   \
            if (!Has(method_)) {                                                                      \
                if (RequireAll()) FAIL() << "tamsil.dll does not export " << kClassPrefix << method_; \
                GTEST_SKIP() << "tamsil.dll does not export " << method_ << " yet";                   \
            }                                                                                         \
        }                                                                                             \
    } while (0)

// The adapters as the IP Helper lists them, in list order: their descriptions, or their names. IP Helper is looked
// up, not imported, so that a program using this header also loads where iphlpapi.dll is absent (NT 4.0): the
// list is empty there.
std::vector<std::string> IpHelperAdapters(bool names = false) {
    std::vector<std::string> out;
    using GetAdaptersInfoFn = DWORD(WINAPI*)(PIP_ADAPTER_INFO, PULONG);
    HMODULE ipHelper = LoadLibraryA("iphlpapi.dll");
    auto getAdaptersInfo = ipHelper != nullptr ? reinterpret_cast<GetAdaptersInfoFn>(reinterpret_cast<void*>(
                                                     GetProcAddress(ipHelper, "GetAdaptersInfo")))
                                               : nullptr;
    if (getAdaptersInfo == nullptr) return out;
    ULONG size = 0;
    if (getAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW) return out;
    std::vector<unsigned char> block(size);
    auto* list = reinterpret_cast<IP_ADAPTER_INFO*>(block.data());
    if (getAdaptersInfo(list, &size) != NO_ERROR) return out;
    for (; list != nullptr; list = list->Next) out.push_back(names ? list->AdapterName : list->Description);
    return out;
}

}  // namespace
