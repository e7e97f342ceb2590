#pragma once
// The registry's text is single-byte code page 1252: inside the program it is
// std::string of those bytes. It becomes Unicode only at the edges: as
// QString for the widgets and D-Bus, as UTF-8 in the database, the web pages,
// the event log and standard error. The five bytes that code page 1252
// leaves undefined map to the C1 controls of the same value, so all 256
// bytes survive a round trip.
#include <QString>
#include <string>
#include <string_view>

namespace cp1252 {

QString ToUnicode(std::string_view bytes);
// Characters that code page 1252 cannot hold become '?'.
std::string FromUnicode(const QString& text);

std::string ToUtf8(std::string_view bytes);
// The same, appended to `out`.
void AppendAsUtf8(std::string& out, std::string_view bytes);
// Characters that code page 1252 cannot hold, and each byte that is not
// part of a well-formed UTF-8 sequence, become '?'.
std::string FromUtf8(std::string_view utf8);

// Upper case as code page 1252 defines it: ASCII letters, the accented
// letters 0xE0..0xFE (but not the division sign 0xF7), and the four letters
// whose capitals stand elsewhere in the code page. Every comparison of the
// registry that ignores case uses it: in memory directly; in the database,
// whose NOCASE folds A to Z only, on the rows a look-up by range reads for a
// text with a letter above 127.
char UpperChar(char c);
std::string UpperCase(std::string_view text);
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// The one spelling that every spelling of a name ignoring case shares, as
// UTF-8: A to Z become a to z (the file's NOCASE order, '_' before the
// letters) and every other letter becomes its capital. Two names are equal
// ignoring case exactly when their keys are equal, so a unique key of
// another database engine is put on it, and its bytes give the order of the
// accounts list.
std::string FoldedKey(std::string_view text);

// True when every byte is below 0x80. Case is then only a matter of A to Z.
bool IsAscii(std::string_view text);

}  // namespace cp1252
