#pragma once
// The one rule by which a port's bytes become text and text becomes a port's
// bytes, wherever they meet characters: OPC values (BSTR), the port grid, the
// activity log, and every send (client writes, the remote sent string, the
// auto-send string).
//
// Latin1 (the default, the nearest match of a Windows ANSI code page): one
// byte is one character of the same code, U+0001..U+00FF, so every byte
// 0x01-0xFF comes back byte-exact when a client writes the text it read. A
// character above U+00FF has no byte and is sent as '?'.
// Utf8 (Linvaro.ini, [System] "Port Text Encoding=UTF-8"): valid UTF-8
// sequences are their characters; any other byte is the character of the same
// code (as in Latin1), so nothing is dropped, but such a byte comes back as
// its UTF-8 form: the round trip is exact for valid UTF-8 only.
//
// Byte 0 is character U+0000 in both rules (a BSTR holds it; see
// docs/dbus-api.md for what a D-Bus client receives).
//
// Threads: the rule is one process-wide setting, set at each settings load
// (main thread) and read from any thread.
#include "ComTypes.h"

#include <string>
#include <string_view>

enum class PortTextEncoding { Latin1, Utf8 };

void SetPortTextEncoding(PortTextEncoding encoding);
PortTextEncoding CurrentPortTextEncoding();
// "ISO-8859-1" (also "Latin1", "Latin-1") or "UTF-8" (also "UTF8"), any case,
// surrounding blanks ignored; false for anything else.
bool ParsePortTextEncoding(std::string_view text, PortTextEncoding& encoding);

// Bytes -> characters (UTF-16) and back, by the current rule.
std::u16string PortTextFromBytes(std::string_view bytes);
std::string PortBytesFromText(std::u16string_view text);
BSTR BstrFromPortBytes(std::string_view bytes); // nullptr only when out of memory
std::string PortBytesFromBstr(BSTR text);
// Program text (UTF-8, as settings and the window hold it) <-> port bytes:
// what the activity log and the grid show of a port's bytes, and the bytes
// that a typed text (Simulate, the auto-send string) stands for.
std::string Utf8FromPortBytes(std::string_view bytes);
std::string PortBytesFromUtf8(std::string_view text);
