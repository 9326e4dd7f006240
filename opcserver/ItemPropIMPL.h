#pragma once
// Address space browsing (IOPCBrowseServerAddressSpace) and item properties
// (IOPCItemProperties) over the tag table. Both are parts of the server
// object: their IUnknown calls go to the owner (the controlling unknown).
#include "OPCDA.h"

#include <string>

struct OpcContext;

class TOPCItemProp : public IOPCItemProperties {
public:
    TOPCItemProp(IUnknown& owner, OpcContext& context);
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return owner_.QueryInterface(riid, ppv); }
    ULONG AddRef() override { return owner_.AddRef(); }
    ULONG Release() override { return owner_.Release(); }
    HRESULT QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
                                     VARTYPE** ppvtDataTypes) override;
    HRESULT GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                              HRESULT** ppErrors) override;
    HRESULT LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                          HRESULT** ppErrors) override;

private:
    IUnknown& owner_;
    OpcContext& context_;
};

class TOPCBrowser : public IOPCBrowseServerAddressSpace {
public:
    TOPCBrowser(IUnknown& owner, OpcContext& context);
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return owner_.QueryInterface(riid, ppv); }
    ULONG AddRef() override { return owner_.AddRef(); }
    ULONG Release() override { return owner_.Release(); }
    HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
    HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override;
    HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                             DWORD dwAccessRightsFilter, IEnumString** ppIEnumString) override;
    HRESULT GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
    HRESULT BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) override;

private:
    IUnknown& owner_;
    OpcContext& context_;
};

// The filter pattern of BrowseOPCItemIDs. Returns false for an invalid
// pattern; otherwise sets matches.
bool MatchFilterPattern(const std::string& text, const std::string& pattern, bool& matches);
