#pragma once
// TMRDUnknownEnumerator: IEnumUnknown over a list of objects.
#include "Unknown.h"

#include <vector>

// A new enumerator that takes over one reference per element (released when
// the enumerator goes), positioned at the start, holding one reference for
// the caller; nullptr when it cannot be made (the references are then
// released).
IEnumUnknown* CreateUnknownEnumerator(std::vector<IUnknown*> takenOver);
