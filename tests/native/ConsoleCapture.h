#ifndef TOLVANE_TESTS_CONSOLECAPTURE_H
#define TOLVANE_TESTS_CONSOLECAPTURE_H

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

// Captures what the library writes to standard error (its console lines)
// while the object lives; lines() ends the capture.
class ConsoleCapture {
public:
    ConsoleCapture() { testing::internal::CaptureStderr(); }
    ~ConsoleCapture() {
        if (!done) {
            testing::internal::GetCapturedStderr();
        }
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::string text() {
        done = true;
        return testing::internal::GetCapturedStderr();
    }

    std::vector<std::string> lines() {
        std::vector<std::string> result;
        std::istringstream in(text());
        for (std::string line; std::getline(in, line);) {
            result.push_back(line);
        }
        return result;
    }

private:
    bool done = false;
};

typedef std::vector<std::string> ConsoleLines;

#endif
