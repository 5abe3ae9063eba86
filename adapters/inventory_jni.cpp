// JNI exports of the adapter inventory.
#include <cstdlib>

#include "adapters/inventory.h"
#include "java/jni_support.h"

namespace {

jstring CardDescription(JNIEnv* env, jint index) {
    if (!UseIpHelperPath(nRequestedCard)) {
        // Only the table's 16 records exist; any other index describes nothing.
        if (index < 0 || index >= kAdapterTableSize) return env->NewString(nullptr, 0);
        const WCHAR* description = AdapterTable[index].Description;
        return env->NewString(reinterpret_cast<const jchar*>(description),
                              static_cast<jsize>(WideLength(description, kAdapterTextUnits)));
    }
    IP_ADAPTER_INFO* list = ReadAdapterList();
    IP_ADAPTER_INFO* adapter = index >= 0 ? list : nullptr;
    for (jint i = 0; adapter != nullptr && i < index; ++i) adapter = adapter->Next;
    jstring result = adapter != nullptr ? NewStringFromNarrow(env, adapter->Description) : env->NewStringUTF("");
    free(list);
    return result;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_larkspire_vorel_util_NativeCollection_GetCardNumbers(JNIEnv* env, jobject) {
    return JniGuard<jint>(env, -1, [] { return static_cast<jint>(GetCardNumbers()); });
}

JNIEXPORT jstring JNICALL Java_com_larkspire_vorel_util_NativeCollection_GetCardDescription(JNIEnv* env, jobject, jint index) {
    return JniGuard<jstring>(env, nullptr, [&] { return CardDescription(env, index); });
}

JNIEXPORT jint JNICALL Java_com_larkspire_vorel_util_NativeCollection_GetCardNumber(JNIEnv* env, jobject) {
    return JniGuard<jint>(env, 0, [] { return static_cast<jint>(GetCardNumber()); });
}

}  // extern "C"
