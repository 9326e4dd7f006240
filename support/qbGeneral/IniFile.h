#pragma once
// INI text in the Windows style, without any file access: "[Section]" lines
// open sections, "Key=Value" lines hold values, everything else (comments
// starting with ';', blank lines, stray text) is kept but never matched.
// Section and key names are compared without regard to ASCII letter case and
// with surrounding blanks removed; a value is what follows the first '=',
// with blanks around it and one pair of enclosing double quotes removed.
// Lines end at LF, CR LF or CR; a UTF-8 byte-order mark at the start is
// skipped (and kept when the file is rewritten).
#include <optional>
#include <string>
#include <string_view>

namespace ini {

// The value of key in the first section called section, nullopt when absent.
std::optional<std::string> lookup(std::string_view text, std::string_view section, std::string_view key);

// True when section, key and value can be written without changing the
// structure of the file (no line breaks, no ']' in a section, no '=' in a key).
bool writable(std::string_view section, std::string_view key, std::string_view value);

// text with key set to value: the first matching key line is rewritten in
// place (its spelling kept), a new key goes after the last line of its
// section, a new section is appended at the end. All other lines, their order
// and their line ends stay as they are. Requires writable(...).
std::string update(std::string_view text, std::string_view section, std::string_view key, std::string_view value);

} // namespace ini
