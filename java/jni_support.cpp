#include "java/jni_support.h"

#include <cstring>
#include <string>

namespace {

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

jstring NewStringFromNarrow(JNIEnv* env, const char* text) {
    std::string clean;
    size_t length = std::strlen(text);
    clean.reserve(length);
    for (size_t i = 0; i < length;) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t need = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 0;
        bool valid = need != 0 && i + need <= length;
        for (size_t k = 1; valid && k < need; ++k) valid = IsContinuation(static_cast<unsigned char>(text[i + k]));
        if (valid) {
            clean.append(text + i, need);
            i += need;
        } else {
            clean += '?';
            ++i;
        }
    }
    return env->NewStringUTF(clean.c_str());
}
