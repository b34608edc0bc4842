#ifndef TOLVANE_NETIOCLASS_H
#define TOLVANE_NETIOCLASS_H

#include <cstdint>
#include <vector>

#include "Object.h"

// One net I/O method of a NetioClass. Both strings are owned copies or null.
// A null signature stands for every overload of the name; a null name
// matches nothing.
class MethodId {
public:
    char* name = nullptr;
    char* signature = nullptr;
};

// The record of one class declared as net I/O code by the Java side
// (JvmtiCallee.addNetioClass). Key and value type of
// ClassProfilingHelper::netioClasses. Records are never freed: class
// descriptors keep pointing at them for the life of the library.
class NetioClass : public Object {
public:
    // The dotted class name (java.net.SocketInputStream); owned copy.
    char* name = nullptr;
    // The net I/O methods; null means every method of the class, an empty
    // list means none. Owned.
    std::vector<MethodId>* methods = nullptr;
    // Hash of name by the String hash rule, over the characters up to the NUL.
    int32_t hash = 0;

    // An all-empty record, used as the reusable lookup key.
    NetioClass() = default;
    // Takes ownership of name and methods.
    NetioClass(char* name, std::vector<MethodId>* methods);

    NetioClass(const NetioClass&) = delete;
    NetioClass& operator=(const NetioClass&) = delete;

    const char* tiClassName() const override { return "NetioClass"; }
    int hashCode() override { return hash; }
    // `other` is taken to be a NetioClass. Equal when the names are the same
    // pointer or both non-null and equal as C strings.
    bool equals(const Object* other) override;

    // Whether a method of this class is net I/O code: always with no method
    // list, otherwise when some entry has this name and either no signature
    // or this signature.
    bool isNetioMethod(const char* methodName, const char* methodSignature) const;

    // The String hash of a NUL-terminated name; 0 for null.
    static int32_t hashOf(const char* name);
};

#endif
