#pragma once
// Text helpers for the single-byte text of the registry (code page 1252).
#include "storage/Cp1252.h"

#include <string>
#include <string_view>

// Case as code page 1252 defines it; the database compares user and ban
// names the same way.
using cp1252::EqualsIgnoringCase;
using cp1252::UpperCase;
using cp1252::UpperChar;

// Removes spaces (only the space character) from both ends.
std::string_view TrimSpaces(std::string_view text);
