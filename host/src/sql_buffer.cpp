#include "sql_buffer.h"

#include <algorithm>
#include <charconv>
#include <cstring>

SQLBuffer::SQLBuffer() = default;
SQLBuffer::~SQLBuffer() = default;

void SQLBuffer::append(char c) {
    if (m_used == BLOCK_SIZE) {
        append(&c, 1);  // needs a new block
        return;
    }
    m_blocks.back()[m_used++] = c;
    ++m_length;
}

void SQLBuffer::append(const char* text) {
    if (text) append(text, std::strlen(text));
}

// Fills the last block, then continues in fresh ones; what is already in the
// buffer never moves, so an append costs only the bytes it adds.
void SQLBuffer::append(const char* data, size_t length) {
    while (length > 0) {
        if (m_used == BLOCK_SIZE) {
            // Uninitialised on purpose (make_unique would zero 64 KiB); owned
            // before push_back so a failing push_back cannot leak it.
            std::unique_ptr<char[]> block(new char[BLOCK_SIZE]);
            m_blocks.push_back(std::move(block));
            m_used = 0;
        }
        const size_t n = std::min(length, BLOCK_SIZE - m_used);
        std::memcpy(m_blocks.back().get() + m_used, data, n);
        m_used += n;
        m_length += n;
        data += n;
        length -= n;
    }
}

void SQLBuffer::append(long value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    append(buf, static_cast<size_t>(res.ptr - buf));
}

void SQLBuffer::append(unsigned long value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    append(buf, static_cast<size_t>(res.ptr - buf));
}

// std::to_chars, unlike printf, ignores the C locale: a comma decimal point
// would turn one SQL value into two.
void SQLBuffer::append(double value) {
    char buf[32];  // the longest shortest form, "-2.2250738585072014e-308", is 24
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    append(buf, static_cast<size_t>(res.ptr - buf));
}

void SQLBuffer::clear() {
    // Keep one block: a buffer is typically refilled right away for the next batch.
    if (!m_blocks.empty()) {
        m_blocks.resize(1);
        m_used = 0;
    }
    m_length = 0;
}

const char* SQLBuffer::coalesce() const {
    char* out = new char[m_length + 1];
    char* p = out;
    for (size_t i = 0; i < m_blocks.size(); ++i) {
        const size_t n = i + 1 == m_blocks.size() ? m_used : BLOCK_SIZE;
        std::memcpy(p, m_blocks[i].get(), n);
        p += n;
    }
    *p = '\0';
    return out;
}
