#include "StderrCapture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    file = std::tmpfile();
    savedFd = dup(STDERR_FILENO);
    if (file == nullptr || savedFd < 0 || dup2(fileno(file), STDERR_FILENO) < 0) {
        ADD_FAILURE() << "cannot redirect standard error";
    }
}

StderrCapture::~StderrCapture() {
    end();
}

void StderrCapture::end() {
    if (file == nullptr) {
        return;
    }
    std::fflush(stderr);
    if (savedFd >= 0) {
        dup2(savedFd, STDERR_FILENO);
        close(savedFd);
        savedFd = -1;
    }
    std::rewind(file);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        captured.append(buffer, n);
    }
    std::fclose(file);
    file = nullptr;
}

std::string StderrCapture::text() {
    end();
    return captured;
}

std::vector<std::string> StderrCapture::lines() {
    std::vector<std::string> result;
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}
