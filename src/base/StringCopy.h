#ifndef TOLVANE_STRINGCOPY_H
#define TOLVANE_STRINGCOPY_H

#include <cstddef>
#include <cstring>

// The library keeps its strings as owned new[] copies (released with
// delete[]); these make them.

// A NUL-terminated copy of exactly length characters (the input need not be
// terminated); null or a negative length gives the empty string.
inline char* copyChars(const char* chars, int length) {
    if (chars == nullptr || length < 0) {
        length = 0;
    }
    char* copy = new char[static_cast<size_t>(length) + 1];
    if (length > 0) {
        std::memcpy(copy, chars, static_cast<size_t>(length));
    }
    copy[length] = '\0';
    return copy;
}

// A copy of a NUL-terminated string; null stays null.
inline char* copyString(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    size_t length = std::strlen(text);
    char* copy = new char[length + 1];
    std::memcpy(copy, text, length + 1);
    return copy;
}

#endif
