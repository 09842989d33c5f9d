#pragma once
// 64-bit FNV-1a: small, fast and stable across builds and machines, which is
// all the plugin needs of a hash; it guards nothing.
#include <cstdint>
#include <string_view>

inline uint64_t fnv1a(std::string_view text) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ULL;
    return hash;
}
