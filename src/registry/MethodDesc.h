#ifndef TOLVANE_METHODDESC_H
#define TOLVANE_METHODDESC_H

class ClassData;
class DataWriter;

// The class filter decisions a method descriptor takes its flags from. The
// registry that owns the descriptors implements it; a descriptor asks it
// without knowing the registry.
class MethodFilters {
public:
    // Whether the methods of a class are ignored.
    virtual bool isIgnoredMethod(ClassData* classData, const char* methodName, int methodNameLength,
                                 const char* signature, int signatureLength) = 0;
    // Whether a class name is filtered (collapsed into its caller).
    virtual bool isFilteredClassName(const char* className) = 0;

protected:
    ~MethodFilters() = default;
};

// Descriptor of one JVM method identifier (or of one interception method),
// identified in call trees and snapshots by its address. Owned by the
// registry and never freed while the library runs.
//
// The filter flags change only through updateFilters, which runs with the
// thread monitor held; readers (call trees, sampler) hold it as well.
class MethodDesc {
public:
    // Copies exactly nameLength and signatureLength characters (the inputs
    // need not be NUL-terminated; a null input or a negative length gives an
    // empty string), then evaluates the special and net I/O flags and the
    // filters of `registry` (which may be null: then nothing is filtered).
    MethodDesc(ClassData* classData, const char* name, int nameLength,
               const char* signature, int signatureLength, MethodFilters* registry);
    ~MethodDesc();

    MethodDesc(const MethodDesc&) = delete;
    MethodDesc& operator=(const MethodDesc&) = delete;

    // Sets isSpecialMethod from the name, isNetio from the class's net I/O
    // record and isWaitMethod. Called once, at construction.
    void updateSpecialMethods();
    // Re-evaluates isFiltered and isIgnored against the registry's filters,
    // the ignored class names and the agent-class setting. Methods of the
    // interception pseudo-class are never filtered or ignored.
    void updateFilters(MethodFilters* registry);

    ClassData* getClassData() const { return classData; }
    const char* getMethodName() const { return methodName; }
    const char* getMethodSignature() const { return methodSignature; }
    // 2 when ignored, else 1 when filtered, else 0 (profiled).
    int getIsFiltered() const { return isIgnored ? 2 : (isFiltered ? 1 : 0); }

    // Method record of the snapshot: tag 1, ID, class ID, name, signature.
    void write(DataWriter* writer);

    // True for names beginning with "__ovk_" other than "__ovk_sleep".
    static bool isSpecialMethodName(const char* name);

    // The declaring class; the unknown class when it could not be found.
    ClassData* classData;
    char* methodName;
    // JVM method descriptor, such as "()V".
    char* methodSignature;
    // Its class matches the class filters.
    bool isFiltered;
    // Its class is ignored (or is an agent class while those are not sampled).
    bool isIgnored;
    // Counts as agent code: the stack conversion stops at such a frame unless
    // agent classes are sampled.
    bool isSpecialMethod;
    // A net I/O method; time below it counts as net I/O.
    bool isNetio;
    // A method in which a thread sleeps, waits or parks: a thread found in it
    // is waiting even while the JVM already reports it runnable (woken, on
    // its way out).
    bool isWaitMethod;
    // A frame through which a carrier enters a virtual thread's
    // continuation: the frames above it are the virtual thread's.
    bool isContinuationEntry;
};

#endif
