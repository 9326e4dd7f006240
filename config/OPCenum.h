#pragma once
// The list of OPC servers known on this computer, for the "Select OPC Server"
// dialog.
//
// TOPCServerList asks a server enumerator component through the OPC Common
// interfaces IOPCServerList2 (or, when it lacks that, IOPCServerList) for the
// classes of the given categories and their details. The program's own
// enumerator component (TOPCServerEnumerator) answers both interfaces from
// the registry store: a class belongs to a category when it has the key
// CLSID\{clsid}\Implemented Categories\{catid}.
//
// Memory: as in COM, the texts GetClassDetails returns come from the task
// allocator and belong to the caller; EnumClassesOfCategories hands out one
// reference on the enumerator.
#include "Guid.h"
#include "HResult.h"
#include "Unknown.h"

#include <functional>
#include <string>
#include <vector>

// --- The OPC Common server browser interfaces.
inline constexpr IID IID_IOPCServerList = MakeGuid(0x13486D50, 0x4821, 0x11D2, 0xA4, 0x94, 0x3C, 0xB3, 0x06, 0xC1, 0x00, 0x00);
inline constexpr IID IID_IOPCServerList2 = MakeGuid(0x9DD0B56C, 0xAD9E, 0x43EE, 0x83, 0x05, 0x48, 0x7F, 0x31, 0x88, 0xBF, 0x7A);
inline constexpr IID IID_IOPCEnumGUID = MakeGuid(0x55C382C8, 0x21C7, 0x4E88, 0x96, 0xC1, 0xBE, 0xCF, 0xB1, 0xE3, 0xF4, 0x83);
// The server enumerator component ("OPC.ServerList.1").
inline constexpr CLSID CLSID_OpcServerList = MakeGuid(0x13486D51, 0x4821, 0x11D2, 0xA4, 0x94, 0x3C, 0xB3, 0x06, 0xC1, 0x00, 0x00);

struct IEnumGUID : IUnknown {
    virtual HRESULT Next(ULONG celt, GUID* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumGUID** ppenum) = 0;
};

struct IOPCEnumGUID : IUnknown {
    virtual HRESULT Next(ULONG celt, GUID* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT Skip(ULONG celt) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IOPCEnumGUID** ppenum) = 0;
};

struct IOPCServerList : IUnknown {
    virtual HRESULT EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired,
                                            CATID rgcatidReq[], IEnumGUID** ppenumClsid) = 0;
    virtual HRESULT GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID, LPOLESTR* ppszUserType) = 0;
    virtual HRESULT CLSIDFromProgID(LPCOLESTR szProgId, CLSID* clsid) = 0;
};

struct IOPCServerList2 : IUnknown {
    virtual HRESULT EnumClassesOfCategories(ULONG cImplemented, CATID rgcatidImpl[], ULONG cRequired,
                                            CATID rgcatidReq[], IOPCEnumGUID** ppenumClsid) = 0;
    virtual HRESULT GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID, LPOLESTR* ppszUserType,
                                    LPOLESTR* ppszVerIndProgID) = 0;
    virtual HRESULT CLSIDFromProgID(LPCOLESTR szProgId, CLSID* clsid) = 0;
};

// Makes the enumerator component (as CoCreateInstanceEx on machineName; empty
// = this computer) and answers riid with one reference.
using ServerEnumeratorFactory =
    std::function<HRESULT(const std::string& machineName, REFCLSID clsid, REFIID riid, void** ppv)>;

// The program's own enumerator component: CLSID_OpcServerList on this
// computer. Another class gives REGDB_E_CLASSNOTREG; another computer cannot
// be reached from here (RPC_S_SERVER_UNAVAILABLE).
HRESULT CreateServerEnumerator(const std::string& machineName, REFCLSID clsid, REFIID riid, void** ppv);
inline constexpr HRESULT RPC_S_SERVER_UNAVAILABLE = hr(0x800706BA);

// One server found.
struct TOPCServerInfo {
    std::string name; // the ProgID
    CLSID clsid{};
    std::string description; // the user-type name
    std::string vendor;      // empty when found through the enumerator
};

class TOPCServerList {
public:
    TOPCServerList(std::string machineName, std::vector<CATID> categories,
                   ServerEnumeratorFactory factory = CreateServerEnumerator);

    // Frees every entry, enumerates anew and returns the number of entries.
    int Refresh();

    int Count() const { return static_cast<int>(servers_.size()); }
    // The names in order (case-insensitive alphabetical).
    std::vector<std::string> Names() const;
    const TOPCServerInfo& At(int index) const { return servers_.at(static_cast<std::size_t>(index)); }
    bool UseEnumerator() const { return !categories_.empty(); }
    bool EnumeratorReached() const { return enumeratorReached_; }

private:
    void enumerate();
    // Inserts in name order; false when the name (any case) is there.
    bool add(TOPCServerInfo info);

    std::string machineName_;
    std::vector<CATID> categories_;
    ServerEnumeratorFactory factory_;
    std::vector<TOPCServerInfo> servers_;
    bool enumeratorReached_ = false;
};
