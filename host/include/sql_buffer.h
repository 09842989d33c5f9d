#pragma once
// Accumulates the text of one SQL statement in fixed-size blocks, so appending
// never copies what was appended before.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class SQLBuffer {
public:
    SQLBuffer();
    ~SQLBuffer();
    SQLBuffer(const SQLBuffer&) = delete;
    SQLBuffer& operator=(const SQLBuffer&) = delete;

    void append(char c);
    void append(const char* text);
    void append(const std::string& text) { append(text.data(), text.size()); }
    void append(const char* data, size_t length);
    void append(int value) { append(static_cast<long>(value)); }
    void append(unsigned int value) { append(static_cast<unsigned long>(value)); }
    void append(long value);
    void append(unsigned long value);
    // The shortest decimal text that reads back as the same double, whatever the
    // locale ("21.5", "1e+20", "-0").
    void append(double value);

    size_t length() const { return m_length; }
    bool isEmpty() const { return m_length == 0; }
    void clear();

    // A new NUL-terminated copy of everything appended (array new; the caller
    // releases it with delete[]). Never null.
    const char* coalesce() const;

private:
    static constexpr size_t BLOCK_SIZE = 64 * 1024;
    std::vector<std::unique_ptr<char[]>> m_blocks;
    size_t m_used = BLOCK_SIZE;  // bytes used in the last block
    size_t m_length = 0;
};
