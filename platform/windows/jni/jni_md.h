// Machine-dependent JNI definitions for the Windows builds (mingw-w64), used with the JDK's own jni.h in
// place of the JDK's include/linux/jni_md.h, which must stay off the include path of these builds.
// The types and the calling convention are the ones a Windows JVM expects: jint is a 32-bit long,
// jlong __int64, jbyte signed char, and every JNI function and export is __stdcall.
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#if defined(__i386__) || defined(_M_IX86)
// 32-bit: the exports are named by cmake/tamsil-i686.def (_Java_...@N and Java_...). A dllexport here would
// add the compiler's own third name, Java_...@N, which a JVM never looks up.
#define JNIEXPORT
#else
#define JNIEXPORT __declspec(dllexport)
#endif
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif
