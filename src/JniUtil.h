#ifndef TOLVANE_JNIUTIL_H
#define TOLVANE_JNIUTIL_H

#include <jni.h>

// Prints (ExceptionDescribe) and clears a pending Java exception. Call it
// after every call from the library into Java: JNI must never be called with
// an exception pending. Returns true when there was one, in which case the
// result of the Java call counts as null.
inline bool clearPendingException(JNIEnv* env) {
    if (env == nullptr || !env->ExceptionCheck()) {
        return false;
    }
    env->ExceptionDescribe();
    env->ExceptionClear();
    return true;
}

// The modified UTF-8 characters of a Java string, released on scope exit.
// get() is null for a null string or when the characters cannot be obtained.
class UtfChars {
public:
    UtfChars(JNIEnv* env, jstring str) : env(env), str(str) {
        if (env != nullptr && str != nullptr) {
            chars = env->GetStringUTFChars(str, nullptr);
            if (chars == nullptr) {
                clearPendingException(env);  // OutOfMemoryError
            }
        }
    }
    ~UtfChars() {
        if (chars != nullptr) {
            env->ReleaseStringUTFChars(str, chars);
        }
    }
    UtfChars(const UtfChars&) = delete;
    UtfChars& operator=(const UtfChars&) = delete;

    const char* get() const { return chars; }

private:
    JNIEnv* env;
    jstring str;
    const char* chars = nullptr;
};

// A JNI local reference deleted on scope exit.
template <typename T>
class LocalRef {
public:
    LocalRef(JNIEnv* env, T ref) : env(env), ref(ref) {}
    ~LocalRef() {
        if (ref != nullptr) {
            env->DeleteLocalRef(ref);
        }
    }
    LocalRef(const LocalRef&) = delete;
    LocalRef& operator=(const LocalRef&) = delete;

    T get() const { return ref; }

private:
    JNIEnv* env;
    T ref;
};

#endif
