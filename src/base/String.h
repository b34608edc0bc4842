#ifndef TOLVANE_STRING_H
#define TOLVANE_STRING_H

#include <cstdint>

#include "Object.h"

// A non-owning view of `length` characters, used as a hash map key.
//
// There is no constructor that takes the characters: the user sets `chars`,
// `length` and `hash` (0) directly, on the stack for a lookup over characters
// already at hand, or on the heap for a key that a map keeps. Whoever builds
// a String keeps its characters alive for as long as the String is in use;
// the destructor releases nothing.
class String : public Object {
public:
    static const char* const CLASS_NAME;

    const char* chars = nullptr;
    int32_t length = 0;
    // Cached hash code; 0 means not computed yet.
    int32_t hash = 0;

    const char* tiClassName() const override;

    // Only "String" is accepted; a String does not report itself as "Object".
    bool instanceOf(const char* className) override;

    // `other` is taken to be a String without checking its type. Equal when
    // the lengths match and the first `length` characters compare equal with
    // strncmp (which stops early at a NUL present in both).
    bool equals(const Object* other) override;

    // h = 31 * h + c over the `length` bytes taken as signed 8-bit values,
    // wrapping in 32 bits; cached in `hash` unless it comes out as 0.
    int hashCode() override;
};

// Compares b (lengthB characters) with a (lengthA characters). With
// slashIsDot, '/' and '.' count as the same character, so a JVM internal
// class name matches its dotted Java name. False when either is null or the
// lengths differ.
__attribute__((visibility("default")))
bool eq_2nt_str(const char* a, const char* b, int lengthA, int lengthB, bool slashIsDot);

// As eq_2nt_str, with a NUL-terminated: true only when a has exactly lengthB
// characters and they match the first lengthB characters of b.
__attribute__((visibility("default")))
bool eq_nt_str(const char* a, const char* b, int lengthB, bool slashIsDot);

#endif
