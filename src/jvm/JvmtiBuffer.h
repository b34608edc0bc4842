#ifndef TOLVANE_JVMTIBUFFER_H
#define TOLVANE_JVMTIBUFFER_H

#include <jvmti.h>

// Owns memory that JVMTI allocated for a result and hands it back with
// Deallocate when it goes out of scope. Pass out() to the JVMTI call.
template <typename T>
class JvmtiBuffer {
public:
    explicit JvmtiBuffer(jvmtiEnv* env) : env(env) {}
    ~JvmtiBuffer() { reset(); }
    JvmtiBuffer(const JvmtiBuffer&) = delete;
    JvmtiBuffer& operator=(const JvmtiBuffer&) = delete;

    T** out() { reset(); return &ptr; }
    T* get() const { return ptr; }
    T& operator[](int i) const { return ptr[i]; }
    // Gives up ownership; the caller deallocates.
    T* release() { T* p = ptr; ptr = nullptr; return p; }
    void reset() {
        if (ptr != nullptr && env != nullptr) {
            env->Deallocate(reinterpret_cast<unsigned char*>(ptr));
        }
        ptr = nullptr;
    }

private:
    jvmtiEnv* env;
    T* ptr = nullptr;
};

#endif
