#ifndef TOLVANE_OUTPUTFILE_H
#define TOLVANE_OUTPUTFILE_H

#include <cstdio>

// Opens the output of a snapshot for writing, created when missing, without
// ever following a symbolic link at the path: the file is written by the
// profiled JVM, with its rights, at a path that others may be able to change
// between the start of a recording and its end.
//
// An existing regular file is truncated only when it has no other hard link
// (its content would show under another name). A FIFO or a character device
// is written as a stream, neither truncated nor replaced, in non-blocking
// mode and unbuffered: FileDataWriter then waits for a slow reader, within
// its stall limit, with an exact count of the bytes that went out. Anything
// else at the path is left alone.
namespace OutputFile {

// The stream, or null. A refused path (a symbolic link, a regular file with
// other links, a block device, a directory...) is one console line; a path
// that cannot be opened for another reason (no such directory, no right to
// write) is none, as before.
FILE* open(const char* path);

}  // namespace OutputFile

#endif
