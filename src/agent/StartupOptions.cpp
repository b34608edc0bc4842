#include "StartupOptions.h"

#include <cstring>

namespace {

// KEY=VALUE items that the library reads itself; every other one belongs to
// the recorder.
const char* const LIBRARY_SETTINGS[] = {"max-tree-nodes", "single-capture-limit"};

// Calls visit(item) for each comma-separated, non-empty item.
template <typename Visit>
void forEachItem(const char* options, Visit visit) {
    if (options == nullptr) {
        return;
    }
    const char* start = options;
    while (true) {
        const char* end = std::strchr(start, ',');
        std::string item = end != nullptr ? std::string(start, end) : std::string(start);
        if (!item.empty()) {
            visit(item);
        }
        if (end == nullptr) {
            return;
        }
        start = end + 1;
    }
}

std::string keyOf(const std::string& item) {
    size_t eq = item.find('=');
    return eq == std::string::npos ? item : item.substr(0, eq);
}

}  // namespace

namespace StartupOptions {

std::string libraryFlags(const char* options) {
    std::string flags;
    forEachItem(options, [&flags](const std::string& item) {
        bool keep = item.find('=') == std::string::npos;
        for (const char* setting : LIBRARY_SETTINGS) {
            keep = keep || keyOf(item) == setting;
        }
        if (keep) {
            flags += flags.empty() ? "" : ",";
            flags += item;
        }
    });
    return flags;
}

std::string value(const char* options, const char* key) {
    std::string found;
    bool seen = false;
    forEachItem(options, [&](const std::string& item) {
        if (!seen && item.find('=') != std::string::npos && keyOf(item) == key) {
            found = item.substr(item.find('=') + 1);
            seen = true;
        }
    });
    return found;
}

bool requestsRecording(const char* options) {
    bool requested = false;
    forEachItem(options, [&requested](const std::string& item) {
        std::string key = keyOf(item);
        requested = requested || key == "record" || key == "loop";
    });
    return requested;
}

}  // namespace StartupOptions
