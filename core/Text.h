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

// The text with its control characters shown as visible escapes, so that
// one line of text from a peer or a caller stays one line wherever it is
// written: \n, \r and \t, \\ for a backslash, and \xHH for the other bytes
// below 0x20, for 0x7F and for the five bytes code page 1252 leaves
// undefined (they are C1 control characters in Unicode).
std::string EscapeControls(std::string_view text);
