// The JNI boundary's rules in one place: no C++ exception escapes into the JVM, no Java exception is left
// pending, and what the library printed reaches standard output before control returns to Java.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdio>

#include "win32.h"

// Runs `body` for an export; answers `failure` if it throws. Clears any exception a JNI call raised (an
// OutOfMemoryError from NewString, say): the exports report through their results alone.
template <typename Result, typename Body>
Result JniGuard(JNIEnv* env, Result failure, Body body) noexcept {
    Result result = failure;
    try {
        result = body();
    } catch (...) {
        result = failure;
    }
    if (env->ExceptionCheck()) env->ExceptionClear();
    fflush(stdout);
    return result;
}

// JniGuard for the per-frame path: no flush (it flushes what it prints itself) and no exception check,
// because its only JNI calls (GetArrayLength, and SetByteArrayRegion within the array's bounds) cannot
// raise one.
template <typename Result, typename Body>
Result JniGuardQuiet(Result failure, Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

template <typename Body>
void JniGuardVoid(JNIEnv* env, Body body) noexcept {
    try {
        body();
    } catch (...) {
    }
    if (env->ExceptionCheck()) env->ExceptionClear();
    fflush(stdout);
}

// A Java string of `units` UTF-16 units (text from the platform is converted to UTF-16 first: NewStringUTF
// would take it for modified UTF-8, which ANSI code page text is not).
jstring NewStringFromWide(JNIEnv* env, const WCHAR* text, size_t units);
