// UTF-8 checking and repair. Almost every text is plain ASCII or already
// well-formed, so the checks run over ASCII eight bytes at a time and only
// decode where a byte has its high bit set.
#include "rules/utf8.h"

#include <cstdint>
#include <cstring>

namespace {

const char REPLACEMENT[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the run of ASCII bytes at the start of text.
size_t asciiPrefix(const unsigned char* text, size_t size) {
    size_t at = 0;
    // Eight bytes at once: none has its high bit set.
    for (; at + 8 <= size; at += 8) {
        uint64_t word;
        std::memcpy(&word, text + at, 8);
        if (word & 0x8080808080808080ULL) break;
    }
    while (at < size && text[at] < 0x80) ++at;
    return at;
}

// Looks at the sequence that starts text (size > 0). Returns its length when
// it is well-formed, else 0; *taken is the number of bytes it covers either
// way: the well-formed sequence, or its maximal ill-formed subpart (at least
// one byte).
size_t sequenceAt(const unsigned char* text, size_t size, size_t* taken) {
    unsigned char lead = text[0];
    size_t trailing;
    // The range the first continuation byte must fall in: narrower after E0
    // (overlong), ED (surrogates), F0 (overlong) and F4 (above U+10FFFF).
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) {
        *taken = 1;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        // A continuation byte, C0, C1 or F5..FF can never start a character.
        *taken = 1;
        return 0;
    }
    size_t at = 1;
    for (; at <= trailing && at < size; ++at) {
        // The subpart ends before the first byte that cannot continue it.
        if (text[at] < low || text[at] > high) break;
        low = 0x80;
        high = 0xBF;
    }
    *taken = at;
    return at == trailing + 1 ? at : 0;
}

// The length of the longest well-formed prefix of text.
size_t validPrefix(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    size_t size = text.size();
    size_t at = 0;
    while (at < size) {
        at += asciiPrefix(bytes + at, size - at);
        if (at == size) break;
        size_t taken;
        if (!sequenceAt(bytes + at, size - at, &taken)) break;
        at += taken;
    }
    return at;
}

}  // namespace

bool isValidUtf8(std::string_view text) { return validPrefix(text) == text.size(); }

std::string validUtf8(std::string_view text) {
    size_t good = validPrefix(text);
    std::string out(text.substr(0, good));
    if (good == text.size()) return out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    // Each replacement (3 bytes) stands for at least one byte.
    out.reserve(text.size() + 2 * (text.size() - good));
    for (size_t at = good; at < text.size();) {
        size_t ascii = asciiPrefix(bytes + at, text.size() - at);
        out.append(text.data() + at, ascii);
        at += ascii;
        if (at == text.size()) break;
        size_t taken;
        if (sequenceAt(bytes + at, text.size() - at, &taken))
            out.append(text.data() + at, taken);
        else
            out.append(REPLACEMENT, 3);
        at += taken;
    }
    return out;
}

std::string asciiOnly(std::string_view validText) {
    std::string out;
    out.reserve(validText.size());
    // A character starts at every byte that is no continuation byte.
    for (char c : validText) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80)
            out.push_back(c);
        else if ((byte & 0xC0) != 0x80)
            out.push_back('?');
    }
    return out;
}

size_t fitUtf8(std::string_view validText, size_t maxBytes) {
    if (validText.size() <= maxBytes) return validText.size();
    size_t cut = maxBytes;
    // A cut before a continuation byte would split a character: move back to
    // the start of that character (at most three bytes in valid text).
    while (cut > 0 && (static_cast<unsigned char>(validText[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}
