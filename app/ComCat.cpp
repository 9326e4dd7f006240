#include "ComCat.h"

#include "RegistryStore.h"

namespace comcat {

HRESULT CreateComponentCategory(REFGUID catid, const std::string& description)
{
    return registry::RegisterCategory(catid, description.substr(0, kMaxDescription)) ? S_OK : E_FAIL;
}

HRESULT RegisterCLSIDInCategory(REFCLSID clsid, REFGUID catid)
{
    return registry::RegisterClassImplCategory(clsid, catid) ? S_OK : E_FAIL;
}

HRESULT UnRegisterCLSIDInCategory(REFCLSID clsid, REFGUID catid)
{
    return registry::UnRegisterClassImplCategory(clsid, catid) ? S_OK : E_FAIL;
}

} // namespace comcat
