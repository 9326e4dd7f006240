#pragma once
// Groups for the in-process OPC benchmarks: an active group of items on the
// given tags with a data-change sink advised.
#include "ComObject.h"
#include "OPCDA.h"
#include "TaskMem.h"

#include <string>
#include <vector>

namespace bench {

// AddGroup(name, active, rate) on server, one active item per id (client
// handle = its position), sink advised; the group's IUnknown (one reference
// for the caller), or null when any step failed.
inline IUnknown* AddAdvisedGroup(IOPCServer& server, const std::u16string& name, DWORD rate, OPCHANDLE clientGroup,
                                 const std::vector<std::u16string*>& ids, IUnknown& sink)
{
    IUnknown* unk = nullptr;
    OPCHANDLE h = 0;
    DWORD revised = 0;
    if (FAILED(server.AddGroup(name.c_str(), 1, rate, clientGroup, nullptr, nullptr, 0, &h, &revised, IID_IUnknown,
                               &unk)))
        return nullptr;
    std::vector<OPCITEMDEF> defs(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i)
        defs[i] = OPCITEMDEF{nullptr, ids[i]->data(), 1, static_cast<OPCHANDLE>(i), 0, nullptr, VT_EMPTY, 0};
    IOPCItemMgt* mgt = nullptr;
    unk->QueryInterface(IID_IOPCItemMgt, reinterpret_cast<void**>(&mgt));
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT added = mgt->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    mgt->Release();
    IConnectionPointContainer* cpc = nullptr;
    IConnectionPoint* cp = nullptr;
    DWORD cookie = 0;
    unk->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
    const bool advised = cpc && SUCCEEDED(cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp)) &&
                         SUCCEEDED(cp->Advise(&sink, &cookie));
    if (cp)
        cp->Release();
    if (cpc)
        cpc->Release();
    if (added != S_OK || !advised) {
        unk->Release();
        return nullptr;
    }
    return unk;
}

} // namespace bench
