#pragma once
// Text helpers for the single-byte text of the registry (code page 1252).
#include <string>
#include <string_view>

// Upper case as code page 1252 defines it: ASCII letters, the accented
// letters 0xE0..0xFE (but not the division sign 0xF7), and the four letters
// whose capitals stand elsewhere in the code page.
char UpperChar(char c);
std::string UpperCase(std::string_view text);
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// Removes spaces (only the space character) from both ends.
std::string_view TrimSpaces(std::string_view text);
