#include "NetioClass.h"

#include <cstring>

#include "String.h"

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
