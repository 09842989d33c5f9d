#pragma once
// Names as they appear in statements.
#include <cstddef>
#include <string>

// Reserved words of PostgreSQL and Redshift, sorted, upper case.
extern const char* const RESERVED_WORDS[];
extern const size_t RESERVED_WORD_COUNT;

bool isReservedWord(const std::string& name);
// A table or column name, as the database stores it, written so that the
// statement names exactly that: bare when it is a plain lower-case name and
// no reserved word, otherwise quoted with '"' doubled.
std::string sqlIdentifier(const std::string& storedName);
