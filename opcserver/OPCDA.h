#pragma once
// The OPC Data Access 2.0 and OPC Common interfaces, in the method order of
// their interface definitions, and their identifiers.
#include "OPCtypes.h"
#include "OpcError.h"
#include "Unknown.h"

// Interface identifiers.
inline constexpr IID IID_IOPCServer = MakeGuid(0x39C13A4D, 0x011E, 0x11D0, 0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3);
inline constexpr IID IID_IOPCServerPublicGroups =
    MakeGuid(0x39C13A4E, 0x011E, 0x11D0, 0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3);
inline constexpr IID IID_IOPCBrowseServerAddressSpace =
    MakeGuid(0x39C13A4F, 0x011E, 0x11D0, 0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3);
inline constexpr IID IID_IOPCGroupStateMgt =
    MakeGuid(0x39C13A50, 0x011E, 0x11D0, 0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3);
inline constexpr IID IID_IOPCPublicGroupStateMgt =
    MakeGuid(0x39C13A51, 0x011E, 0x11D0, 0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3);
inline constexpr IID IID_IOPCSyncIO = MakeGuid(0x39C13A52, 0x011E, 0x11D0, 0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3);
inline constexpr IID IID_IOPCAsyncIO = MakeGuid(0x39C13A53, 0x011E, 0x11D0, 0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3);
inline constexpr IID IID_IOPCItemMgt = MakeGuid(0x39C13A54, 0x011E, 0x11D0, 0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3);
inline constexpr IID IID_IEnumOPCItemAttributes =
    MakeGuid(0x39C13A55, 0x011E, 0x11D0, 0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3);
inline constexpr IID IID_IOPCDataCallback =
    MakeGuid(0x39C13A70, 0x011E, 0x11D0, 0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3);
inline constexpr IID IID_IOPCAsyncIO2 = MakeGuid(0x39C13A71, 0x011E, 0x11D0, 0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3);
inline constexpr IID IID_IOPCItemProperties =
    MakeGuid(0x39C13A72, 0x011E, 0x11D0, 0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3);
inline constexpr IID IID_IOPCShutdown = MakeGuid(0xF31DFDE1, 0x07B6, 0x11D2, 0xB2, 0xD8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB);
inline constexpr IID IID_IOPCCommon = MakeGuid(0xF31DFDE2, 0x07B6, 0x11D2, 0xB2, 0xD8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB);
inline constexpr IID IID_IDataObject = MakeGuid(0x0000010E, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
inline constexpr IID IID_IPersistFile = MakeGuid(0x0000010B, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);

// The program's classes and their own interfaces.
inline constexpr CLSID CLSID_DA2 = MakeGuid(0x6E39D8AB, 0x9993, 0x4038, 0xB4, 0xF0, 0x5E, 0xA9, 0xDE, 0xD4, 0xCF, 0xD8);
inline constexpr CLSID CLSID_OPCGroup = MakeGuid(0xC4AB07C8, 0x0504, 0x4302, 0xAA, 0x3C, 0xA4, 0xF1, 0xA6, 0x18, 0xF9, 0xF8);
// The class under which the string and unknown enumerators are registered.
inline constexpr CLSID CLSID_OPCEnumerators =
    MakeGuid(0x02F5769C, 0xD2D3, 0x4D21, 0x9D, 0x29, 0xF7, 0x63, 0x25, 0x09, 0xFC, 0x67);
inline constexpr IID IID_IOPCGroup = MakeGuid(0x3E47972B, 0xB736, 0x412C, 0xB9, 0x4E, 0x69, 0x16, 0x63, 0x03, 0xF6, 0x08);
inline constexpr CATID CATID_OPCDAServer10 =
    MakeGuid(0x63D5F430, 0xCFE4, 0x11D1, 0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB);
inline constexpr CATID CATID_OPCDAServer20 =
    MakeGuid(0x63D5F432, 0xCFE4, 0x11D1, 0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB);

struct IOPCServer : IUnknown {
    virtual HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                             LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                             DWORD* pRevisedUpdateRate, REFIID riid, IUnknown** ppUnk) = 0;
    virtual HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) = 0;
    virtual HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) = 0;
    virtual HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) = 0;
    virtual HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) = 0;
    virtual HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk) = 0;
};

struct IOPCCommon : IUnknown {
    virtual HRESULT SetLocaleID(LCID dwLcid) = 0;
    virtual HRESULT GetLocaleID(LCID* pdwLcid) = 0;
    virtual HRESULT QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) = 0;
    virtual HRESULT GetErrorString(HRESULT dwError, LPWSTR* ppString) = 0;
    virtual HRESULT SetClientName(LPCWSTR szName) = 0;
};

struct IOPCShutdown : IUnknown {
    virtual HRESULT ShutdownRequest(LPCWSTR szReason) = 0;
};

struct IOPCBrowseServerAddressSpace : IUnknown {
    virtual HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) = 0;
    virtual HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) = 0;
    virtual HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                     VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter, IEnumString** ppIEnumString) = 0;
    virtual HRESULT GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) = 0;
    virtual HRESULT BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) = 0;
};

struct IOPCItemProperties : IUnknown {
    virtual HRESULT QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                             LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) = 0;
    virtual HRESULT GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                      HRESULT** ppErrors) = 0;
    virtual HRESULT LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                                  HRESULT** ppErrors) = 0;
};

struct IOPCGroupStateMgt : IUnknown {
    virtual HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                             FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                             OPCHANDLE* phServerGroup) = 0;
    virtual HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                             FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup) = 0;
    virtual HRESULT SetName(LPCWSTR szName) = 0;
    virtual HRESULT CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) = 0;
};

struct IEnumOPCItemAttributes : IUnknown {
    virtual HRESULT Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) = 0;
};

struct IOPCItemMgt : IUnknown {
    virtual HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                             HRESULT** ppErrors) = 0;
    virtual HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                  OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) = 0;
    virtual HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) = 0;
    virtual HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) = 0;
    virtual HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors) = 0;
    virtual HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                 HRESULT** ppErrors) = 0;
    virtual HRESULT CreateEnumerator(REFIID riid, IUnknown** ppUnk) = 0;
};

struct IOPCSyncIO : IUnknown {
    virtual HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                         HRESULT** ppErrors) = 0;
    virtual HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) = 0;
};

struct IOPCAsyncIO2 : IUnknown {
    virtual HRESULT Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                         HRESULT** ppErrors) = 0;
    virtual HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                          DWORD* pdwCancelID, HRESULT** ppErrors) = 0;
    virtual HRESULT Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) = 0;
    virtual HRESULT Cancel2(DWORD dwCancelID) = 0;
    virtual HRESULT SetEnable(BOOL bEnable) = 0;
    virtual HRESULT GetEnable(BOOL* pbEnable) = 0;
};

struct IOPCDataCallback : IUnknown {
    virtual HRESULT OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                                 DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                                 FILETIME* pftTimeStamps, HRESULT* pErrors) = 0;
    virtual HRESULT OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                                   DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                                   FILETIME* pftTimeStamps, HRESULT* pErrors) = 0;
    virtual HRESULT OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr, DWORD dwCount,
                                    OPCHANDLE* pClienthandles, HRESULT* pErrors) = 0;
    virtual HRESULT OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) = 0;
};
