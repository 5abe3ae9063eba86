// JNI exports of the capture session.
#include "capture/capture_session.h"
#include "java/jni_support.h"

namespace {

struct ArrayTarget {
    JNIEnv* env;
    jbyteArray array;
};

// A region copy touches only the bytes of the frame, and never more than the array holds.
void CopyToJavaArray(void* context, const BYTE* data, LONG count) {
    auto* target = static_cast<ArrayTarget*>(context);
    target->env->SetByteArrayRegion(target->array, 0, count, reinterpret_cast<const jbyte*>(data));
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_larkspire_vorel_util_NativeCollection_DriverStart(JNIEnv* env, jobject, jint cardNumber) {
    return JniGuard<jint>(env, -1, [&] { return static_cast<jint>(DriverStart(cardNumber)); });
}

JNIEXPORT void JNICALL Java_com_larkspire_vorel_util_NativeCollection_DriverStop(JNIEnv* env, jobject) {
    JniGuardVoid(env, [] { DriverStop(); });
}

JNIEXPORT void JNICALL Java_com_larkspire_vorel_util_NativeCollection_FreeOnExit(JNIEnv* env, jobject) {
    JniGuardVoid(env, [] { FreeOnExit(); });
}

JNIEXPORT jint JNICALL Java_com_larkspire_vorel_util_NativeCollection_GetFrameFromDriver(JNIEnv* env, jobject, jbyteArray frame,
                                                                                          jint maxLength) {
    return JniGuardQuiet<jint>(0, [&]() -> jint {
        LONG bufferLength = frame != nullptr ? env->GetArrayLength(frame) : -1;  // -1: no array
        ArrayTarget target{env, frame};
        return static_cast<jint>(GetFrameFromDriver(maxLength, bufferLength, CopyToJavaArray, &target));
    });
}

JNIEXPORT void JNICALL Java_com_larkspire_vorel_util_NativeCollection_SetPausedOn(JNIEnv* env, jobject, jboolean paused) {
    JniGuardVoid(env, [&] { SetPausedOn(paused); });
}

JNIEXPORT jboolean JNICALL Java_com_larkspire_vorel_util_NativeCollection_IsPausedOn(JNIEnv* env, jobject) {
    return JniGuard<jboolean>(env, JNI_FALSE, [] { return static_cast<jboolean>(IsPausedOn()); });
}

}  // extern "C"
