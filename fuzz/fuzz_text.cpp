// UTF-8 repair and text literals on arbitrary bytes. The repaired text must
// be well-formed and leave well-formed text alone; a cut must stay within
// its bytes and on a boundary; and reading the literal back by the rules
// both servers share (quotes doubled, pieces joined by ||, chr(92)::varchar for
// a backslash, never a backslash inside quotes) must give the text without its
// NUL bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "literal.h"
#include "utf8.h"

namespace {
struct StringOut {
    std::string text;
    void append(char c) { text.push_back(c); }
    void append(const char* s, size_t n) { text.append(s, n); }
};

// The text a literal stands for; aborts on anything outside the form.
std::string readLiteral(const std::string& literal) {
    if (literal == "''") return "";
    std::string text;
    size_t at = 0;
    for (;;) {
        if (literal.compare(at, 16, "chr(92)::varchar") == 0) {
            text += '\\';
            at += 16;
        } else {
            FUZZ_CHECK(literal[at] == '\'');
            size_t start = text.size();
            for (++at;; ++at) {
                FUZZ_CHECK(at < literal.size() && literal[at] != '\\' && literal[at] != '\0');
                if (literal[at] == '\'' && literal.compare(at, 2, "''") != 0) break;
                if (literal[at] == '\'') ++at;
                text += literal[at];
            }
            ++at;
            // No empty quoted piece, except the empty text's.
            FUZZ_CHECK(text.size() > start);
        }
        if (at == literal.size()) return text;
        FUZZ_CHECK(literal.compare(at, 2, "||") == 0);
        at += 2;
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string valid = validUtf8(input);
    FUZZ_CHECK(isValidUtf8(valid));
    FUZZ_CHECK(isValidUtf8(input) == (valid == input));
    FUZZ_CHECK(validUtf8(valid) == valid);

    size_t limit = size ? data[0] : 0;
    size_t fit = fitUtf8(valid, limit);
    FUZZ_CHECK(fit <= limit && fit <= valid.size());
    // The longest such prefix: a character is at most four bytes.
    FUZZ_CHECK(fit + 3 >= std::min(limit, valid.size()));
    FUZZ_CHECK(isValidUtf8(std::string_view(valid).substr(0, fit)));

    StringOut out;
    appendTextLiteral(out, input);
    FUZZ_CHECK(out.text.size() == textLiteralLength(input));
    FUZZ_CHECK(out.text.size() <= textLiteralBound(input.size()));
    std::string withoutNul;
    for (char c : input)
        if (c != '\0') withoutNul += c;
    FUZZ_CHECK(readLiteral(out.text) == withoutNul);
    return 0;
}
