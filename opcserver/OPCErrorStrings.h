#pragma once
// The result text of a result code, as both GetErrorString methods give it:
// the OPC table's text, else the English system text of a platform code
// (trailing blanks, control characters and full stops removed), else "".
#include "HResult.h"

#include <string>
#include <string_view>

std::string ResultText(HRESULT code);

// A system message text without its end: characters below 33 (line breaks,
// blanks, control characters) and full stops are removed from the end until
// another character is found.
std::string TrimMessageEnd(std::string_view text);
