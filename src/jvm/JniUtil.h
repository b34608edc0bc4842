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

// A JNI local frame pushed for the lifetime of the object: the local
// references made meanwhile go with it. A frame that cannot be pushed (its
// OutOfMemoryError is cleared) is not popped, as that would release a frame
// of the caller; check isPushed() before making references.
class LocalFrame {
public:
    LocalFrame(JNIEnv* env, jint capacity) : env(env), pushed(env->PushLocalFrame(capacity) == JNI_OK) {
        if (!pushed) {
            clearPendingException(env);
        }
    }
    ~LocalFrame() {
        if (pushed) {
            env->PopLocalFrame(nullptr);
        }
    }
    LocalFrame(const LocalFrame&) = delete;
    LocalFrame& operator=(const LocalFrame&) = delete;

    bool isPushed() const { return pushed; }

private:
    JNIEnv* env;
    bool pushed;
};

// The elements of a Java primitive array, released on scope exit with
// JNI_ABORT: the library only reads them, so nothing is copied back. get()
// is null when the elements cannot be obtained (the OutOfMemoryError is
// cleared then).
template <typename Array, typename Element, Element* (JNIEnv::*Get)(Array, jboolean*),
          void (JNIEnv::*Release)(Array, Element*, jint)>
class ArrayElements {
public:
    ArrayElements(JNIEnv* env, Array array) : env(env), array(array) {
        elements = (env->*Get)(array, nullptr);
        if (elements == nullptr) {
            clearPendingException(env);
        }
    }
    ~ArrayElements() {
        if (elements != nullptr) {
            (env->*Release)(array, elements, JNI_ABORT);
        }
    }
    ArrayElements(const ArrayElements&) = delete;
    ArrayElements& operator=(const ArrayElements&) = delete;

    Element* get() const { return elements; }

private:
    JNIEnv* env;
    Array array;
    Element* elements;
};

typedef ArrayElements<jbyteArray, jbyte, &JNIEnv::GetByteArrayElements, &JNIEnv::ReleaseByteArrayElements>
    ByteArrayElements;
typedef ArrayElements<jlongArray, jlong, &JNIEnv::GetLongArrayElements, &JNIEnv::ReleaseLongArrayElements>
    LongArrayElements;

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
