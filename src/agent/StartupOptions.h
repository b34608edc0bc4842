#ifndef TOLVANE_STARTUPOPTIONS_H
#define TOLVANE_STARTUPOPTIONS_H

#include <string>

// The option string of a library loaded on the java command line
// (-agentpath:libtolvane.so=record=30s,file=/tmp/app-%p.tsnap,...): comma-
// separated items, either a word ("agent-threads") or KEY=VALUE. The recorder
// in Java reads the recording settings from the same string; the library takes
// its own flags and the agent jar from it.
namespace StartupOptions {

// The items the library's flag tests may see: the words and the library's own
// numeric settings, without any other KEY=VALUE item, so that a file name such
// as file=/tmp/agent-threads.tsnap switches nothing on.
std::string libraryFlags(const char* options);

// The value of the first KEY=VALUE item with this key; empty when absent.
std::string value(const char* options, const char* key);

// True when the options ask for a recording from the start ("record" with or
// without a value, or "loop=...").
bool requestsRecording(const char* options);

}  // namespace StartupOptions

#endif
