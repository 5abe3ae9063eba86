// JNI exports of the host services: thin conversions around the plain functions.
// String arguments are taken with GetStringUTFChars in argument order and released before the export
// returns; an argument that is null, or for which the JVM yields no text, answers JNI_FALSE. No Java
// exception is left pending and none is thrown.
#include "host/admin_test.h"
#include "host/autostart.h"
#include "host/message_box.h"
#include "host/service_control.h"
#include "java/jni_support.h"

namespace {

// The modified-UTF-8 text of a Java string, released when it goes out of scope; Text() is NULL for a null
// string or when the JVM could not give it (out of memory: the pending OutOfMemoryError is cleared).
class Utf8Chars {
public:
    Utf8Chars(JNIEnv* env, jstring string) : env_(env), string_(string) {
        if (string_ != nullptr) pText_ = env_->GetStringUTFChars(string_, nullptr);
        if (pText_ == nullptr && env_->ExceptionCheck()) env_->ExceptionClear();
    }
    ~Utf8Chars() {
        if (pText_ != nullptr) env_->ReleaseStringUTFChars(string_, pText_);
    }
    Utf8Chars(const Utf8Chars&) = delete;
    Utf8Chars& operator=(const Utf8Chars&) = delete;
    const char* Text() const { return pText_; }

private:
    JNIEnv* env_;
    jstring string_;
    const char* pText_ = nullptr;
};

jboolean Boolean(int nAnswer) { return nAnswer ? JNI_TRUE : JNI_FALSE; }

jboolean InstallSystray(JNIEnv* env, jstring home, jstring launch) {
    Utf8Chars Home(env, home);
    if (Home.Text() == nullptr) return JNI_FALSE;
    Utf8Chars Launch(env, launch);
    if (Launch.Text() == nullptr) return JNI_FALSE;
    return Boolean(InstallAutostartEntry(Home.Text(), Launch.Text()));
}

jboolean ShowMessageBox(JNIEnv* env, jstring text) {
    Utf8Chars Text(env, text);
    if (Text.Text() == nullptr) return JNI_FALSE;
    return Boolean(ShowWarningBox(Text.Text()));
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_larkspire_vorel_util_NativeCollection_isAdmin(JNIEnv* env, jobject) {
    return JniGuard<jint>(env, 0, [] { return static_cast<jint>(AdministratorTest()); });
}

JNIEXPORT jint JNICALL Java_com_larkspire_vorel_util_NativeCollection_isServiceInstalled(JNIEnv* env, jobject) {
    return JniGuard<jint>(env, 0, [] { return static_cast<jint>(IsVorelServiceInstalled()); });
}

JNIEXPORT jint JNICALL Java_com_larkspire_vorel_util_NativeCollection_isServiceRunning(JNIEnv* env, jobject) {
    return JniGuard<jint>(env, 0, [] { return static_cast<jint>(IsVorelServiceRunning()); });
}

JNIEXPORT jint JNICALL Java_com_larkspire_vorel_util_NativeCollection_startService(JNIEnv* env, jobject) {
    return JniGuard<jint>(env, 0, [] { return static_cast<jint>(StartVorelService()); });
}

JNIEXPORT jint JNICALL Java_com_larkspire_vorel_util_NativeCollection_stopService(JNIEnv* env, jobject) {
    return JniGuard<jint>(env, 1, [] { return static_cast<jint>(StopVorelService()); });
}

JNIEXPORT jint JNICALL Java_com_larkspire_vorel_util_NativeCollection_deleteService(JNIEnv* env, jobject) {
    return JniGuard<jint>(env, 0, [] { return static_cast<jint>(DeleteVorelService()); });
}

JNIEXPORT jboolean JNICALL Java_com_larkspire_vorel_util_NativeCollection_installSystray(JNIEnv* env, jobject, jstring home,
                                                                                        jstring launch) {
    return JniGuard<jboolean>(env, JNI_FALSE, [&] { return InstallSystray(env, home, launch); });
}

JNIEXPORT jboolean JNICALL Java_com_larkspire_vorel_util_NativeCollection_removeSystray(JNIEnv* env, jobject) {
    return JniGuard<jboolean>(env, JNI_FALSE, [] { return Boolean(RemoveAutostartEntry()); });
}

JNIEXPORT jboolean JNICALL Java_com_larkspire_vorel_util_NativeCollection_messageBox(JNIEnv* env, jobject, jstring text) {
    return JniGuard<jboolean>(env, JNI_FALSE, [&] { return ShowMessageBox(env, text); });
}

}  // extern "C"
