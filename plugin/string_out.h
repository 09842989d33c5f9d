#pragma once
// Lets the literal writers, made for the host's SQLBuffer, append to a string.
#include <cstddef>
#include <string>

struct StringOut {
    std::string& text;
    void append(char c) { text.push_back(c); }
    void append(const char* data, size_t size) { text.append(data, size); }
};
