#ifndef TOLVANE_CLASSPROFILINGSESSION_H
#define TOLVANE_CLASSPROFILINGSESSION_H

#include <jni.h>
#include <jvmti.h>
#include <cstdint>
#include <vector>

#include "ClassData.h"
#include "HashMap.h"
#include "MethodDesc.h"
#include "NetioClass.h"
#include "PointerHashMap.h"
#include "String.h"

class DataWriter;

// Whether the agent's own classes are recorded like any other: while false
// their methods are ignored. Set by the agent options and by setFilters.
extern bool g_sampleAgentClasses;

// The class and method registry: every class and method descriptor met since
// attach, in registration order, plus the class filters. Created once by the
// attach sequence and kept for the life of the process; descriptors are
// never removed, so their addresses stay valid identities.
//
// Concurrency: addClassData, addMethodDesc, setFilters and write take the
// thread monitor themselves (it is re-entrant). getMethodDesc and the
// decisions take no lock: callers hold the thread monitor (the sampling tick,
// the natives of this registry).
class ClassProfilingSession final : public MethodFilters {
public:
    // Makes this the live registry and registers the unknown class, the
    // unknown method and the interception pseudo-class, in that order. The
    // environment is not used.
    explicit ClassProfilingSession(JNIEnv* env);
    // Frees the filters and every descriptor created for this registry, and
    // drops the static lookup entries that point at them. The two load-time
    // class descriptors are not freed.
    ~ClassProfilingSession();

    ClassProfilingSession(const ClassProfilingSession&) = delete;
    ClassProfilingSession& operator=(const ClassProfilingSession&) = delete;

    void addClassData(ClassData* classData);
    // Null is ignored. The first "<init>" of java.lang.Object registered
    // becomes ClassProfilingHelper::objectInitMethodDesc.
    void addMethodDesc(MethodDesc* methodDesc);

    // The descriptor of a method identifier, created and registered on first
    // use. A method whose name cannot be read maps to unknownMethodDesc for
    // good (its error is printed once). Null only when the identifier is new
    // and env (or the JVMTI environment) is null. Caller holds the thread
    // monitor.
    MethodDesc* getMethodDesc(jmethodID method, JNIEnv* env, bool reportErrors);

    // Installs copies of the class filter patterns (null entries stay null
    // and are skipped by the decision) and re-evaluates every descriptor.
    // With freeOld the previous patterns are freed. The environment is not
    // used.
    void setFilters(const std::vector<char*>& patterns, bool inverted, JNIEnv* env, bool freeOld);
    // Whether the methods of a class are ignored: agent classes while agent
    // classes are not sampled, and classes matching an ignored-class pattern.
    // Method name and signature do not influence the result.
    bool isIgnoredMethod(ClassData* classData, const char* methodName, int methodNameLength,
                         const char* signature, int signatureLength) override;
    // False until filters are set; then the class filter decision.
    bool isFilteredClassName(const char* className) override;

    // Class section body of the snapshot.
    void write(DataWriter* writer);

    // Gives the descriptors of the class `record` declares, where the
    // registry holds them already, the record and the net I/O flag of their
    // methods. With the thread monitor held.
    void applyNetioClass(NetioClass* record);

    // Class filter patterns as last set (an exclusion keeps its '-'); null
    // until filters are set. Owned, as are the strings.
    char** filters;
    int32_t filterCount;
    bool filterInverted;
    bool filtersSet;
    // Every method descriptor, in registration order. Owned.
    std::vector<MethodDesc*> methodDescs;
    // Every class descriptor, in registration order. Owned, except the two
    // load-time descriptors (unknownClassData, interceptionClassData).
    std::vector<ClassData*> classDatas;
};

// Statics of the registry: lookup maps, shared descriptors, the filter
// decisions and the net I/O records. The maps take no lock; every use is
// made with the thread monitor held.
class ClassProfilingHelper {
public:
    // The registry that receives new descriptors.
    static ClassProfilingSession* liveClassProfilingSession;
    // "com.tolvane.agent.Unknown", kind 0: class of methods whose declaring
    // class cannot be determined. Created at library load.
    static ClassData* unknownClassData;
    // "_druvax_annotation_class", kind 50: the pseudo-class of interception
    // methods. Created at library load.
    static ClassData* interceptionClassData;
    // "unknown" "()V" of the unknown class: any method whose name cannot be
    // determined. Created by the registry.
    static MethodDesc* unknownMethodDesc;
    // java.lang.Object.<init>; the stack conversion skips its frames. Null
    // until it is first registered.
    static MethodDesc* objectInitMethodDesc;
    // JVM class signature ("Ljava/lang/String;") to class descriptor. Keys
    // and their characters are heap copies kept for the life of the library.
    static HashMap<String, ClassData> tolvaneClassNameToClassData;
    // Method identifier to descriptor; 200000 buckets, never grows.
    static PointerHashMap<MethodDesc, void*> _methodIdToMethodDesc;
    // Ignored-class patterns, owned copies.
    static std::vector<char*> tolvaneIgnoredClassNames;
    // Every net I/O record, mapped to itself; one record per class name,
    // whose methods the latest declaration of the name set.
    static HashMap<NetioClass, NetioClass> netioClasses;
    // Reusable search key for netioClasses.
    static NetioClass* lookupNetioClass;
    // Descriptors created by createInterceptionMethodId, keyed by their
    // address; null until the first one is created.
    static PointerHashMap<MethodDesc, void*>* interceptionMethods;

    // The class descriptor of a method's declaring class, created on first
    // use of its signature; null when the JVM cannot tell the class.
    static ClassData* getMethodClassData(jmethodID method, JNIEnv* env, bool reportErrors);
    // Creates and registers a new class descriptor for a JVM class signature
    // ("Ljava/lang/String;" becomes java.lang.String, "[Ljava/lang/String;"
    // becomes [Ljava.lang.String). The flag and env do not affect the result.
    static ClassData* getLoadedClassData(const char* signature, bool loaded, JNIEnv* env);
    // A new, not yet registered descriptor, or unknownMethodDesc when the
    // method name cannot be read.
    static MethodDesc* createMethodDesc(jmethodID method, JNIEnv* env, bool reportErrors);
    // The net I/O record of a dotted class name, or null. Uses the shared
    // search key: caller holds the thread monitor.
    static NetioClass* findNetioClass(const char* className);

    // Whether id is the address of a descriptor made by
    // createInterceptionMethodId: the only values accepted as transaction
    // ids from the Java side. Caller holds the thread monitor.
    static bool isInterceptionMethod(const void* id);
    // Records a descriptor as an interception method. Caller holds the
    // thread monitor.
    static void addInterceptionMethod(MethodDesc* methodDesc);

    // Bodies of the configuration natives (which only check that the agent
    // is attached first). Each takes the thread monitor for its changes.
    //
    // Replaces the ignored class names, the agent-class setting and the class
    // filters of `registry` (may be null) at once and re-evaluates every
    // descriptor. Null array elements are skipped.
    static void setFilters(JNIEnv* env, jobjectArray filters, bool filterInverted,
                           jobjectArray ignoredClassNames, bool sampleAgentClasses,
                           ClassProfilingSession* registry);
    // Declares the net I/O methods of a dotted class name, replacing what an
    // earlier declaration of the name said. Either array null: every method;
    // otherwise one entry per name, a missing or null signature standing for
    // every overload.
    static void addNetioClass(JNIEnv* env, jstring className, jobjectArray methodNames,
                              jobjectArray methodSignatures);
    // A new interception method of the live registry; its address, or 0 when
    // name is null, its characters cannot be read or there is no registry.
    static jlong createInterceptionMethodId(JNIEnv* env, jstring name);

    // As ClassData::isProxyName.
    static bool isProxyName(const char* name);

    // Class-name pattern match ('.' and '/' alike, '?' one character, '*'
    // any run; without wildcards a pattern is a prefix).
    static bool matches(const char* pattern, const char* name, bool afterWildcard);
    static bool matches(const char* pattern, const char* name) { return matches(pattern, name, false); }
    // The class filter decision over a pattern list; a leading '-' makes a
    // pattern an exclusion. className must not be null.
    static bool isFilteredClassName(const char* className, char** filters, int filterCount, bool inverted);
    // Compares up to length characters with '.' and '/' alike; true when
    // length < 1, when they all agree or when both names end together.
    static bool isEqualClassName(const char* a, const char* b, int length);
    // Appends owned copies of the non-null strings of a Java String[].
    static void copyFilter(JNIEnv* env, std::vector<char*>& target, jobjectArray strings);
    // A new[] copy of the characters of element i of a String[], or null when
    // the element is null or its characters cannot be obtained. The element's
    // local reference is released before returning.
    static char* copyArrayElement(JNIEnv* env, jobjectArray strings, jsize i);
    // The length of a Java array; 0 when it cannot be read.
    static jsize arrayLength(JNIEnv* env, jobjectArray array);
};

#endif
