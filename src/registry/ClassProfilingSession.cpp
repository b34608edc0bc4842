#include "ClassProfilingSession.h"

#include <cstring>
#include <unordered_set>

#include "DataWriter.h"
#include "FatalAssert.h"
#include "JniUtil.h"
#include "JvmtiBuffer.h"
#include "JvmtiError.h"
#include "JvmEnv.h"
#include "MessageUtil.h"
#include "SnapshotFormat.h"
#include "StringCopy.h"
#include "ThreadMonitor.h"

bool g_sampleAgentClasses = false;

// The load-time containers and class descriptors (lookupNetioClass,
// unknownClassData, interceptionClassData and the maps) are defined with the
// rest of the load-time state in LoadTimeState.cpp, so that they are
// constructed in a fixed order. The statics below start as null.
ClassProfilingSession* ClassProfilingHelper::liveClassProfilingSession = nullptr;
MethodDesc* ClassProfilingHelper::unknownMethodDesc = nullptr;
MethodDesc* ClassProfilingHelper::objectInitMethodDesc = nullptr;
PointerHashMap<MethodDesc, void*>* ClassProfilingHelper::interceptionMethods = nullptr;

namespace {

const char OBJECT_CLASS_NAME[] = "java.lang.Object";
const char INIT_METHOD_NAME[] = "<init>";

void freeStrings(std::vector<char*>& strings) {
    for (char* s : strings) {
        delete[] s;
    }
    strings.clear();
}

inline bool isSeparator(char c) {
    return c == '.' || c == '/';
}

inline bool startsWith(const char* s, const char* prefix) {
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

// --- ClassProfilingSession -----------------------------------------------------

ClassProfilingSession::ClassProfilingSession(JNIEnv* env)
    : filters(nullptr), filterCount(0), filterInverted(false), filtersSet(false) {
    ClassProfilingHelper::liveClassProfilingSession = this;
    addClassData(ClassProfilingHelper::unknownClassData);
    ClassProfilingHelper::unknownMethodDesc =
        new MethodDesc(ClassProfilingHelper::unknownClassData, "unknown", 7, "()V", 3, this);
    addMethodDesc(ClassProfilingHelper::unknownMethodDesc);
    addClassData(ClassProfilingHelper::interceptionClassData);
}

ClassProfilingSession::~ClassProfilingSession() {
    ThreadMonitorLock lock;
    if (filters != nullptr) {
        for (int32_t i = 0; i < filterCount; i++) {
            delete[] filters[i];
        }
        delete[] filters;
        filters = nullptr;
    }

    std::unordered_set<MethodDesc*> ownedMethods(methodDescs.begin(), methodDescs.end());
    ownedMethods.erase(nullptr);
    std::unordered_set<ClassData*> ownedClasses;
    for (ClassData* c : classDatas) {
        if (c != nullptr && c != ClassProfilingHelper::unknownClassData &&
            c != ClassProfilingHelper::interceptionClassData) {
            ownedClasses.insert(c);
        }
    }

    // The static lookups must not keep pointing at what is freed here.
    PHMIterator<MethodDesc, void*>* methodIt = ClassProfilingHelper::_methodIdToMethodDesc.getPHMIterator();
    while (PHMEntry<MethodDesc, void*>* e = methodIt->nextPHMEntry()) {
        if (ownedMethods.count(e->value) != 0) {
            methodIt->remove();
        }
    }
    delete methodIt;
    if (ClassProfilingHelper::interceptionMethods != nullptr) {
        PHMIterator<MethodDesc, void*>* it = ClassProfilingHelper::interceptionMethods->getPHMIterator();
        while (PHMEntry<MethodDesc, void*>* e = it->nextPHMEntry()) {
            if (ownedMethods.count(e->value) != 0) {
                it->remove();
            }
        }
        delete it;
    }
    HMIterator<String, ClassData>* classIt = ClassProfilingHelper::tolvaneClassNameToClassData.getHMIterator();
    while (HMEntry<String, ClassData>* e = classIt->nextHMEntry()) {
        if (ownedClasses.count(e->value) != 0) {
            String* key = e->key;
            classIt->remove();
            delete[] key->chars;
            delete key;
        }
    }
    delete classIt;
    if (ownedMethods.count(ClassProfilingHelper::unknownMethodDesc) != 0) {
        ClassProfilingHelper::unknownMethodDesc = nullptr;
    }
    if (ownedMethods.count(ClassProfilingHelper::objectInitMethodDesc) != 0) {
        ClassProfilingHelper::objectInitMethodDesc = nullptr;
    }
    if (ClassProfilingHelper::liveClassProfilingSession == this) {
        ClassProfilingHelper::liveClassProfilingSession = nullptr;
    }

    for (MethodDesc* m : ownedMethods) {
        delete m;
    }
    for (ClassData* c : ownedClasses) {
        delete c;
    }
    methodDescs.clear();
    classDatas.clear();
}

void ClassProfilingSession::addClassData(ClassData* classData) {
    ThreadMonitorLock lock;
    classDatas.push_back(classData);
}

void ClassProfilingSession::addMethodDesc(MethodDesc* methodDesc) {
    if (methodDesc == nullptr) {
        return;
    }
    ThreadMonitorLock lock;
    methodDescs.push_back(methodDesc);
    if (ClassProfilingHelper::objectInitMethodDesc == nullptr && methodDesc->classData != nullptr &&
        std::strcmp(methodDesc->classData->name, OBJECT_CLASS_NAME) == 0 &&
        std::strcmp(methodDesc->methodName, INIT_METHOD_NAME) == 0) {
        ClassProfilingHelper::objectInitMethodDesc = methodDesc;
    }
}

MethodDesc* ClassProfilingSession::getMethodDesc(jmethodID method, JNIEnv* env, bool reportErrors) {
    assertThreadMonitorHeld("ClassProfilingSession::getMethodDesc");
    MethodDesc* methodDesc = ClassProfilingHelper::_methodIdToMethodDesc.get((void*)method);
    if (methodDesc != nullptr) {
        return methodDesc;
    }
    if (env == nullptr || g_profilingInterface == nullptr) {
        return nullptr;
    }
    methodDesc = ClassProfilingHelper::createMethodDesc(method, env, reportErrors);
    if (methodDesc == nullptr) {
        return nullptr;
    }
    if (methodDesc != ClassProfilingHelper::unknownMethodDesc) {
        addMethodDesc(methodDesc);
    }
    // Also a failed identifier is remembered, so that it is asked about (and
    // its error printed) only once.
    ClassProfilingHelper::_methodIdToMethodDesc.put((void*)method, methodDesc);
    return methodDesc;
}

void ClassProfilingSession::setFilters(const std::vector<char*>& patterns, bool inverted, JNIEnv* env,
                                       bool freeOld) {
    ThreadMonitorLock lock;
    int32_t count = (int32_t)patterns.size();
    char** copies = new char*[(size_t)count];
    for (int32_t i = 0; i < count; i++) {
        copies[i] = patterns[(size_t)i] != nullptr ? copyString(patterns[(size_t)i]) : nullptr;
    }
    char** old = filters;
    int32_t oldCount = filterCount;
    filters = copies;
    filtersSet = true;
    filterInverted = inverted;
    filterCount = count;
    if (old != nullptr && freeOld) {
        for (int32_t i = 0; i < oldCount; i++) {
            delete[] old[i];
        }
        delete[] old;
    }
    for (MethodDesc* m : methodDescs) {
        if (m != nullptr) {
            m->updateFilters(this);
        }
    }
}

bool ClassProfilingSession::isIgnoredMethod(ClassData* classData, const char* methodName,
                                            int methodNameLength, const char* signature,
                                            int signatureLength) {
    if (classData == nullptr) {
        return false;
    }
    if (classData->isAgentClass && !g_sampleAgentClasses) {
        return true;
    }
    for (const char* pattern : ClassProfilingHelper::tolvaneIgnoredClassNames) {
        if (pattern != nullptr && ClassProfilingHelper::matches(pattern, classData->name)) {
            return true;
        }
    }
    return false;
}

bool ClassProfilingSession::isFilteredClassName(const char* className) {
    if (!filtersSet) {
        return false;
    }
    return ClassProfilingHelper::isFilteredClassName(className, filters, filterCount, filterInverted);
}

void ClassProfilingSession::write(DataWriter* writer) {
    ThreadMonitorLock lock;
    for (ClassData* c : classDatas) {
        if (c != nullptr) {
            c->write(writer);
        }
    }
    writer->writeByte(SnapshotFormat::TAG_END);
    for (MethodDesc* m : methodDescs) {
        if (m != nullptr) {
            m->write(writer);
            writer->writeU4(0);
        }
    }
    writer->writeByte(SnapshotFormat::TAG_END);
    writer->writeU4(filterCount);
    for (int32_t i = 0; i < filterCount; i++) {
        writer->writeString(filters[i]);
    }
    writer->writeByte(filterInverted ? 1 : 0);
}

// --- ClassProfilingHelper: lookups -------------------------------------------------

ClassData* ClassProfilingHelper::getMethodClassData(jmethodID method, JNIEnv* env, bool reportErrors) {
    jvmtiEnv* jvmti = g_profilingInterface;
    if (jvmti == nullptr) {
        return nullptr;
    }
    jclass declaringClass = nullptr;
    jvmtiError err = jvmti->GetMethodDeclaringClass(method, &declaringClass);
    if (err != JVMTI_ERROR_NONE) {
        if (reportErrors) {
            MessageUtil::message("error: could not get declaring class (code %d)", (int)err);
            // The console line keeps its long-standing form; the log names the error.
            MessageUtil::debugOut(0, 4, "GetMethodDeclaringClass: %s\n", JvmtiErrorText(err).get());
        }
        return nullptr;
    }
    ClassData* classData = nullptr;
    {
        JvmtiBuffer<char> signature(jvmti);
        err = jvmti->GetClassSignature(declaringClass, signature.out(), nullptr);
        if (err == JVMTI_ERROR_NONE && signature.get() != nullptr) {
            String key;
            key.chars = signature.get();
            key.length = (int32_t)std::strlen(signature.get());
            key.hash = 0;
            classData = tolvaneClassNameToClassData.get(&key);
            if (classData == nullptr) {
                classData = getLoadedClassData(signature.get(), true, env);
                String* storedKey = new String();
                storedKey->chars = copyString(signature.get());
                storedKey->length = key.length;
                storedKey->hash = 0;
                tolvaneClassNameToClassData.put(storedKey, classData);
            }
        }
    }
    if (env != nullptr && declaringClass != nullptr) {
        env->DeleteLocalRef(declaringClass);
    }
    return classData;
}

ClassData* ClassProfilingHelper::getLoadedClassData(const char* signature, bool loaded, JNIEnv* env) {
    if (signature == nullptr) {
        signature = "";
    }
    if (*signature == 'L') {
        signature++;
    }
    char* name = copyString(signature);
    for (char* p = name; *p != '\0'; p++) {
        if (*p == '/') {
            *p = '.';
        } else if (*p == ';') {
            *p = '\0';
            break;
        }
    }
    ClassData* classData = new ClassData(name, 0, findNetioClass(name));
    delete[] name;
    if (liveClassProfilingSession != nullptr) {
        liveClassProfilingSession->addClassData(classData);
    }
    return classData;
}

MethodDesc* ClassProfilingHelper::createMethodDesc(jmethodID method, JNIEnv* env, bool reportErrors) {
    jvmtiEnv* jvmti = g_profilingInterface;
    if (jvmti == nullptr) {
        return unknownMethodDesc;
    }
    ClassData* classData = getMethodClassData(method, env, reportErrors);
    if (classData == nullptr) {
        classData = unknownClassData;
    }
    JvmtiBuffer<char> name(jvmti);
    JvmtiBuffer<char> signature(jvmti);
    jvmtiError err = jvmti->GetMethodName(method, name.out(), signature.out(), nullptr);
    if (err != JVMTI_ERROR_NONE) {
        if (reportErrors) {
            MessageUtil::message("error: could not get method name (code %d)", (int)err);
            MessageUtil::debugOut(0, 4, "GetMethodName: %s\n", JvmtiErrorText(err).get());
        }
        return unknownMethodDesc;
    }
    const char* n = name.get() != nullptr ? name.get() : "";
    const char* s = signature.get() != nullptr ? signature.get() : "";
    MethodDesc* methodDesc = new MethodDesc(classData, n, (int)std::strlen(n), s, (int)std::strlen(s),
                                            liveClassProfilingSession);
    name.reset();
    signature.reset();
    return methodDesc;
}

void ClassProfilingSession::applyNetioClass(NetioClass* record) {
    assertThreadMonitorHeld("ClassProfilingSession::applyNetioClass");
    if (record == nullptr || record->name == nullptr) {
        return;
    }
    for (ClassData* classData : classDatas) {
        if (classData == nullptr || classData->name == nullptr || std::strcmp(classData->name, record->name) != 0) {
            continue;
        }
        // Several descriptors can share a name (one per class loader).
        classData->netioClass = record;
        for (MethodDesc* method : methodDescs) {
            if (method != nullptr && method->classData == classData) {
                method->updateSpecialMethods();
            }
        }
    }
}

NetioClass* ClassProfilingHelper::findNetioClass(const char* className) {
    assertThreadMonitorHeld("ClassProfilingHelper::findNetioClass");
    if (lookupNetioClass == nullptr || className == nullptr) {
        return nullptr;
    }
    lookupNetioClass->name = const_cast<char*>(className);
    lookupNetioClass->hash = NetioClass::hashOf(className);
    NetioClass* record = netioClasses.get(lookupNetioClass);
    // The key must not keep pointing at the caller's characters.
    lookupNetioClass->name = nullptr;
    lookupNetioClass->hash = 0;
    return record;
}

bool ClassProfilingHelper::isInterceptionMethod(const void* id) {
    assertThreadMonitorHeld("ClassProfilingHelper::isInterceptionMethod");
    return id != nullptr && interceptionMethods != nullptr &&
           interceptionMethods->get(const_cast<void*>(id)) != nullptr;
}

void ClassProfilingHelper::addInterceptionMethod(MethodDesc* methodDesc) {
    assertThreadMonitorHeld("ClassProfilingHelper::addInterceptionMethod");
    if (methodDesc == nullptr) {
        return;
    }
    if (interceptionMethods == nullptr) {
        interceptionMethods = new PointerHashMap<MethodDesc, void*>(11, 0.75f);
    }
    interceptionMethods->put(methodDesc, methodDesc);
}

bool ClassProfilingHelper::isProxyName(const char* name) {
    return ClassData::isProxyName(name);
}

// --- ClassProfilingHelper: filters -------------------------------------------------

bool ClassProfilingHelper::matches(const char* pattern, const char* name, bool afterWildcard) {
    if (pattern == nullptr || name == nullptr) {
        return false;
    }
    // Iterative, with one backtrack point: the pattern position after the
    // last '*' met and the name position that '*' currently stops at. A later
    // '*' replaces the point, because whatever an earlier '*' could absorb the
    // later one can absorb as well. Once a '*' is met, prefix matching is off
    // for good, so backtracking never has to restore afterWildcard. This keeps
    // the work at pattern length times name length and the stack flat, also
    // for hostile patterns.
    const char* starPattern = nullptr;
    const char* starName = nullptr;
    for (;;) {
        if (*name == '\0') {
            while (*pattern == '*') {
                pattern++;
            }
            // A '*' absorbing more would leave even less name for the
            // non-wildcard characters still to match.
            return *pattern == '\0';
        }
        char p = *pattern;
        char n = *name;
        if (p == '*') {
            while (*pattern == '*') {
                pattern++;
            }
            if (*pattern == '\0') {
                return true;
            }
            afterWildcard = true;
            starPattern = pattern;
            starName = name;
            continue;
        }
        if (p == '?') {
            // From here on the pattern must cover the whole rest of the name.
            afterWildcard = true;
        } else if (p == n) {
            // same character
        } else if (p == '\0' && !afterWildcard) {
            // Pattern used up while the name goes on: a prefix match.
            return true;
        } else if (p != '\0' && isSeparator(p) && isSeparator(n)) {
            // '.' and '/' are interchangeable
        } else {
            // Mismatch, or the pattern is used up where a wildcard requires
            // the rest to be covered exactly: let the last '*' absorb one
            // more character and try again from there.
            if (starPattern == nullptr) {
                return false;
            }
            starName++;
            pattern = starPattern;
            name = starName;
            continue;
        }
        pattern++;
        name++;
    }
}

bool ClassProfilingHelper::isFilteredClassName(const char* className, char** filters, int filterCount,
                                               bool inverted) {
    if (className == nullptr) {
        fatalAssert("className", "shared/ClassProfilingSession", "isFilteredClassName");
    }
    // Default-package classes and primitive arrays are always shown.
    if (std::strchr(className, '.') == nullptr && std::strchr(className, '/') == nullptr) {
        return false;
    }
    if (startsWith(className, "com/sun/proxy/") || startsWith(className, "com.sun.proxy.") ||
        filters == nullptr) {
        return false;
    }
    bool result = false;
    for (int i = 0; i < filterCount; i++) {
        const char* pattern = filters[i];
        if (pattern == nullptr) {
            continue;
        }
        bool exclusion = false;
        if (*pattern == '-') {
            exclusion = true;
            pattern++;
            // A list that opens with an exclusion filters everything that no
            // later pattern exempts.
            if (i == 0) {
                result = true;
            }
        }
        if (*pattern != '\0' && matches(pattern, className)) {
            result = !exclusion;
        }
    }
    return inverted ? !result : result;
}

bool ClassProfilingHelper::isEqualClassName(const char* a, const char* b, int length) {
    if (length < 1) {
        return true;
    }
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    for (int i = 0; i < length; i++) {
        char ca = a[i];
        char cb = b[i];
        if (ca == cb) {
            if (ca == '\0') {
                return true;
            }
            continue;
        }
        if (isSeparator(ca) && isSeparator(cb)) {
            continue;
        }
        return false;
    }
    return true;
}

jsize ClassProfilingHelper::arrayLength(JNIEnv* env, jobjectArray array) {
    if (env == nullptr || array == nullptr) {
        return 0;
    }
    jsize n = env->GetArrayLength(array);
    if (clearPendingException(env) || n < 0) {
        return 0;
    }
    return n;
}

char* ClassProfilingHelper::copyArrayElement(JNIEnv* env, jobjectArray strings, jsize i) {
    jobject element = env->GetObjectArrayElement(strings, i);
    if (clearPendingException(env) || element == nullptr) {
        return nullptr;
    }
    char* copy = nullptr;
    {
        UtfChars chars(env, static_cast<jstring>(element));
        if (chars.get() != nullptr) {
            copy = copyString(chars.get());
        }
    }
    env->DeleteLocalRef(element);
    return copy;
}

void ClassProfilingHelper::copyFilter(JNIEnv* env, std::vector<char*>& target, jobjectArray strings) {
    if (env == nullptr || strings == nullptr) {
        return;
    }
    jsize n = arrayLength(env, strings);
    for (jsize i = 0; i < n; i++) {
        char* copy = copyArrayElement(env, strings, i);
        if (copy != nullptr) {
            target.push_back(copy);
        }
    }
}

// All three settings change under one hold of the thread monitor, so that a
// sampling tick sees either all old or all new settings.
void ClassProfilingHelper::setFilters(JNIEnv* env, jobjectArray filters, bool filterInverted,
                                      jobjectArray ignoredClassNames, bool sampleAgentClasses,
                                      ClassProfilingSession* registry) {
    // The Java arrays are copied before the monitor is taken, so that no JNI
    // work is done while sampling waits.
    std::vector<char*> ignored;
    copyFilter(env, ignored, ignoredClassNames);
    std::vector<char*> patterns;
    copyFilter(env, patterns, filters);
    {
        ThreadMonitorLock lock;
        g_sampleAgentClasses = sampleAgentClasses;
        freeStrings(tolvaneIgnoredClassNames);
        tolvaneIgnoredClassNames.swap(ignored);
        if (registry != nullptr) {
            registry->setFilters(patterns, filterInverted, env, true);
        }
    }
    freeStrings(patterns);
}

// --- ClassProfilingHelper: net I/O declarations and interception methods -------------

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

// A later declaration of the same class replaces the methods of its record,
// whole class or list alike. The record itself stays, since class
// descriptors point at it. Takes ownership of `methods`.
void replaceMethods(NetioClass* record, std::vector<MethodId>* methods) {
    freeMethods(record->methods);
    record->methods = methods;
}

}  // namespace

// Declares a class, or some of its methods, as net I/O code, in place of
// what an earlier declaration of the class said. A class met later gets the
// declaration when its descriptor is made; the descriptors of the class that
// exist already are updated here, so the declaration counts from the next
// sample on, also in a JVM recorded before. A thread inside a method that
// stops being net I/O still leaves it as it entered it (ThreadManager keeps
// that per entry).
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
        replaceMethods(record, methods);
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
