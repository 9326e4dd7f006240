#pragma once
// TOPCStringsEnumerator: IEnumString over a copy of a list of texts.
#include "Unknown.h"

#include <string>
#include <vector>

// A new enumerator over a copy of texts, positioned at the start, holding one
// reference for the caller; nullptr when it cannot be made.
IEnumString* CreateStringsEnumerator(const std::vector<std::string>& texts);
