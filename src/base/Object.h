#ifndef TOLVANE_OBJECT_H
#define TOLVANE_OBJECT_H

#include <cstring>

// Root of the library's small object model. Objects name their type through
// tiClassName() instead of relying on the language's run-time type
// information, which the agent is not built to depend on.
class Object {
public:
    virtual const char* tiClassName() const { return "Object"; }

    // True when className is byte for byte this object's tiClassName().
    virtual bool instanceOf(const char* className) {
        return className != nullptr && std::strcmp(className, tiClassName()) == 0;
    }

    virtual bool equals(const Object* /*other*/) { return false; }

    virtual int hashCode() { return 0; }

    virtual ~Object() {}
};

#endif
