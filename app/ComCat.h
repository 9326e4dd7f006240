#pragma once
// Component categories on the registry store, with the calls of the
// platform's category manager (ICatRegister): a category with its
// description, and a class's membership in a category. Category entries are
// shared with every other server that registers the same category.
#include "Guid.h"
#include "HResult.h"

#include <string>

namespace comcat {

// A category description is cut to this many characters.
inline constexpr std::size_t kMaxDescription = 127;

// Records catid with its description (user's default locale).
HRESULT CreateComponentCategory(REFGUID catid, const std::string& description);
// Marks clsid as implementing catid.
HRESULT RegisterCLSIDInCategory(REFCLSID clsid, REFGUID catid);
// Removes that mark; S_OK also when it was not there.
HRESULT UnRegisterCLSIDInCategory(REFCLSID clsid, REFGUID catid);

} // namespace comcat
