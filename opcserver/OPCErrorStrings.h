#pragma once
// The result text of a result code, as both GetErrorString methods give it:
// the OPC table's text, else the English system text of a platform code
// (trailing blanks, control characters and full stops removed), else "".
#include "HResult.h"

#include <string>

std::string ResultText(HRESULT code);
