#include "java/jni_support.h"

jstring NewStringFromWide(JNIEnv* env, const WCHAR* text, size_t units) {
    static_assert(sizeof(WCHAR) == sizeof(jchar), "UTF-16 units are Java chars");
    return env->NewString(reinterpret_cast<const jchar*>(text), static_cast<jsize>(units));
}
