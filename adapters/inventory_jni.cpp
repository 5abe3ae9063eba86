// JNI exports of the adapter inventory.
#include "adapters/inventory.h"
#include "java/jni_support.h"

extern "C" {

JNIEXPORT jint JNICALL Java_com_larkspire_vorel_util_NativeCollection_GetCardNumbers(JNIEnv* env, jobject) {
    return JniGuard<jint>(env, -1, [] { return static_cast<jint>(GetCardNumbers()); });
}

JNIEXPORT jstring JNICALL Java_com_larkspire_vorel_util_NativeCollection_GetCardDescription(JNIEnv* env, jobject, jint index) {
    return JniGuard<jstring>(env, nullptr, [&] {
        AdapterText description = GetCardDescription(index);
        return NewStringFromWide(env, description.data(), description.size());
    });
}

JNIEXPORT jint JNICALL Java_com_larkspire_vorel_util_NativeCollection_GetCardNumber(JNIEnv* env, jobject) {
    return JniGuard<jint>(env, 0, [] { return static_cast<jint>(GetCardNumber()); });
}

}  // extern "C"
