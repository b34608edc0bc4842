#ifndef TOLVANE_TESTS_STDERRCAPTURE_H
#define TOLVANE_TESTS_STDERRCAPTURE_H

#include <cstdio>
#include <string>
#include <vector>

// Sends what the process writes to file descriptor 2 (the library's console
// lines) into a temporary file while the object lives; text() or lines()
// ends the capture and returns it.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text();
    std::vector<std::string> lines();

private:
    void end();

    std::FILE* file = nullptr;
    int savedFd = -1;
    std::string captured;
};

typedef std::vector<std::string> ConsoleLines;

#endif
