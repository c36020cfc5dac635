// Captures what the code under test writes to one standard stream, through a
// file, until finish() gives it back.
#pragma once

#include <stdio.h>
#include <string>

class StreamCapture {
public:
    StreamCapture(FILE *stream, const std::string &file);
    StreamCapture(const StreamCapture &) = delete;
    StreamCapture &operator=(const StreamCapture &) = delete;
    std::string finish();

private:
    FILE *stream_;
    std::string file_;
    int saved_;
};
