#include "NetioClass.h"

#include <cstring>

#include "ClassProfilingSession.h"
#include "JniUtil.h"
#include "MessageUtil.h"
#include "ProfilingSession.h"
#include "String.h"
#include "StringCopy.h"

NetioClass::NetioClass(char* name, std::vector<MethodId>* methods)
    : name(name), methods(methods), hash(hashOf(name)) {}

bool NetioClass::equals(const Object* other) {
    if (other == nullptr) {
        return false;
    }
    const NetioClass* o = static_cast<const NetioClass*>(other);
    if (o->name == name) {
        return true;
    }
    return name != nullptr && o->name != nullptr && std::strcmp(name, o->name) == 0;
}

bool NetioClass::isNetioMethod(const char* methodName, const char* methodSignature) const {
    if (methods == nullptr) {
        return true;
    }
    if (methodName == nullptr) {
        return false;
    }
    for (const MethodId& m : *methods) {
        if (m.name == nullptr || std::strcmp(m.name, methodName) != 0) {
            continue;
        }
        if (m.signature == nullptr ||
            (methodSignature != nullptr && std::strcmp(m.signature, methodSignature) == 0)) {
            return true;
        }
    }
    return false;
}

int32_t NetioClass::hashOf(const char* name) {
    if (name == nullptr) {
        return 0;
    }
    String s;
    s.chars = name;
    s.length = (int32_t)std::strlen(name);
    s.hash = 0;
    return s.hashCode();
}

namespace {

void freeMethods(std::vector<MethodId>* methods) {
    if (methods == nullptr) {
        return;
    }
    for (MethodId& m : *methods) {
        delete[] m.name;
        delete[] m.signature;
    }
    delete methods;
}

// Adds a later declaration of the same class to its record. Declarations
// only ever add: a class once declared whole stays whole, and a method once
// net I/O stays so. Takes ownership of `methods`.
void mergeMethods(NetioClass* record, std::vector<MethodId>* methods) {
    if (record->methods == nullptr) {
        freeMethods(methods);  // the whole class is declared already
    } else if (methods == nullptr) {
        freeMethods(record->methods);
        record->methods = nullptr;
    } else {
        record->methods->insert(record->methods->end(), methods->begin(), methods->end());
        delete methods;  // the strings moved into the record
    }
}

}  // namespace

// Declares a class, or some of its methods, as net I/O code. A class met
// later gets the declaration when its descriptor is made; the descriptors
// of the class that exist already are updated here, so the declaration
// counts from the next sample on, also in a JVM recorded before.
void ClassProfilingHelper::addNetioClass(JNIEnv* env, jstring className, jobjectArray methodNames,
                                         jobjectArray methodSignatures) {
    if (env == nullptr) {
        return;
    }
    UtfChars name(env, className);
    if (name.get() == nullptr) {
        return;
    }
    std::vector<MethodId>* methods = nullptr;
    if (methodNames != nullptr && methodSignatures != nullptr) {
        methods = new std::vector<MethodId>();
        jsize nameCount = arrayLength(env, methodNames);
        // A signature array shorter than the names leaves the remaining
        // names without a signature (every overload); extra ones are unused.
        jsize signatureCount = arrayLength(env, methodSignatures);
        methods->reserve((size_t)nameCount);
        for (jsize i = 0; i < nameCount; i++) {
            MethodId m;
            m.name = copyArrayElement(env, methodNames, i);
            m.signature = i < signatureCount ? copyArrayElement(env, methodSignatures, i) : nullptr;
            methods->push_back(m);
        }
    }
    ThreadMonitorLock lock;
    NetioClass* record = findNetioClass(name.get());
    if (record != nullptr) {
        mergeMethods(record, methods);
    } else {
        record = new NetioClass(copyString(name.get()), methods);
        netioClasses.put(record, record);
    }
    if (liveClassProfilingSession != nullptr) {
        liveClassProfilingSession->applyNetioClass(record);
    }
}

// Creates a new interception method (a descriptor of the pseudo-class
// "_druvax_annotation_class"); its address is the identifier the Java side
// reports as a transaction id. Every call makes a new descriptor.
jlong ClassProfilingHelper::createInterceptionMethodId(JNIEnv* env, jstring name) {
    if (env == nullptr || name == nullptr) {
        return 0;
    }
    UtfChars chars(env, name);
    if (chars.get() == nullptr) {
        return 0;
    }
    MessageUtil::debugOut(8, 4, "CREATING METHOD %s\n", chars.get());
    MethodDesc* methodDesc;
    {
        // Held over the construction too: it reads the filters and the
        // ignored list, which setFilters replaces under this monitor.
        ThreadMonitorLock lock;
        ClassProfilingSession* registry = liveClassProfilingSession;
        if (registry == nullptr) {
            return 0;
        }
        methodDesc = new MethodDesc(interceptionClassData, chars.get(), (int)std::strlen(chars.get()),
                                    "()V", 3, registry);
        registry->addMethodDesc(methodDesc);
        addInterceptionMethod(methodDesc);
    }
    MessageUtil::debugOut(8, 4, "CREATING METHOD DONE %s %p\n", chars.get(), (void*)methodDesc);
    return (jlong)(intptr_t)methodDesc;
}

extern "C" JNIEXPORT void JNICALL
Java_com_tolvane_agent_callee_JvmtiCallee_addNetioClass(JNIEnv* env, jclass, jstring className,
                                                        jobjectArray methodNames,
                                                        jobjectArray methodSignatures) {
    if (!isAgentAttached()) {
        return;
    }
    ClassProfilingHelper::addNetioClass(env, className, methodNames, methodSignatures);
}

extern "C" JNIEXPORT jlong JNICALL
Java_com_tolvane_agent_callee_JvmtiCallee_createInterceptionMethodId(JNIEnv* env, jclass, jstring name) {
    if (!isAgentAttached()) {
        return 0;
    }
    return ClassProfilingHelper::createInterceptionMethodId(env, name);
}
