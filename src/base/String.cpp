#include "String.h"

#include <cstring>

const char* const String::CLASS_NAME = "String";

const char* String::tiClassName() const {
    return CLASS_NAME;
}

bool String::instanceOf(const char* className) {
    if (className != nullptr && std::strcmp(className, CLASS_NAME) == 0) {
        return true;
    }
    return Object::instanceOf(className);
}

bool String::equals(const Object* other) {
    if (other == nullptr) {
        return false;
    }
    const String* o = static_cast<const String*>(other);
    if (o->length != length) {
        return false;
    }
    if (length <= 0 || o->chars == chars) {
        return true;
    }
    if (chars == nullptr || o->chars == nullptr) {
        return false;
    }
    return std::strncmp(chars, o->chars, (size_t)length) == 0;
}

int String::hashCode() {
    if (hash != 0) {
        return hash;
    }
    // Unsigned arithmetic gives the two's-complement wrap without overflow.
    uint32_t h = 0;
    for (int32_t i = 0; i < length; i++) {
        h = 31u * h + (uint32_t)(int32_t)(signed char)chars[i];
    }
    hash = (int32_t)h;
    return hash;
}

bool eq_2nt_str(const char* a, const char* b, int lengthA, int lengthB, bool slashIsDot) {
    if (lengthA != lengthB || a == nullptr || b == nullptr || lengthA < 0) {
        return false;
    }
    if (!slashIsDot) {
        return std::strncmp(a, b, (size_t)lengthA) == 0;
    }
    for (int i = 0; i < lengthA; i++) {
        char ca = a[i];
        char cb = b[i];
        if (ca == cb) {
            continue;
        }
        if ((ca == '/' && cb == '.') || (ca == '.' && cb == '/')) {
            continue;
        }
        return false;
    }
    return true;
}

bool eq_nt_str(const char* a, const char* b, int lengthB, bool slashIsDot) {
    if (a == nullptr) {
        return false;
    }
    size_t lengthA = std::strlen(a);
    if (lengthA > (size_t)INT32_MAX) {
        return false;
    }
    return eq_2nt_str(a, b, lengthB, (int)lengthA, slashIsDot);
}
