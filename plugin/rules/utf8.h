#pragma once
// Text the server can store: the database keeps UTF-8 only, and Redshift
// counts the length of a VARCHAR in bytes.
#include <cstddef>
#include <string>
#include <string_view>

// Whether text is well-formed UTF-8: no overlong forms, no surrogates, no
// code point above U+10FFFF, no stray or missing continuation bytes.
bool isValidUtf8(std::string_view text);

// text with every ill-formed sequence replaced by U+FFFD, one replacement per
// maximal ill-formed subpart (the usual Unicode practice). Well-formed text
// comes back unchanged.
std::string validUtf8(std::string_view text);

// validText with each character outside ASCII written as one '?', for a
// column that holds single-byte characters only. ASCII comes back unchanged.
std::string asciiOnly(std::string_view validText);

// The length of the longest prefix of validText that is at most maxBytes
// long and ends on a character boundary, so a cut never splits a character.
size_t fitUtf8(std::string_view validText, size_t maxBytes);
