#include "ComObject.h"

#include <algorithm>
#include <map>
#include <vector>

namespace {
long g_liveObjects = 0;

std::map<IUnknown*, std::vector<ExternalHolder*>>& Holders()
{
    static std::map<IUnknown*, std::vector<ExternalHolder*>> holders;
    return holders;
}
} // namespace

ComObject::ComObject() { ++g_liveObjects; }
ComObject::~ComObject() { --g_liveObjects; }
long ComObject::LiveObjects() { return g_liveObjects; }

IUnknown* ComIdentity(IUnknown* unk)
{
    if (!unk)
        return nullptr;
    IUnknown* identity = nullptr;
    if (FAILED(unk->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))) || !identity)
        return unk;
    // Identity is a comparison key only: drop the reference just taken. The
    // caller holds the object alive through unk.
    identity->Release();
    return identity;
}

void RegisterExternalHolder(IUnknown* identity, ExternalHolder* holder)
{
    Holders()[identity].push_back(holder);
}

void UnregisterExternalHolder(IUnknown* identity, ExternalHolder* holder)
{
    auto it = Holders().find(identity);
    if (it == Holders().end())
        return;
    auto& list = it->second;
    list.erase(std::remove(list.begin(), list.end(), holder), list.end());
    if (list.empty())
        Holders().erase(it);
}

int ExternalHolderCount(IUnknown* identity)
{
    auto it = Holders().find(identity);
    return it == Holders().end() ? 0 : static_cast<int>(it->second.size());
}

HRESULT CoDisconnectObject(IUnknown* unk, DWORD)
{
    if (!unk)
        return E_INVALIDARG;
    // Keep the object alive while its holders let go, so that the walk never
    // runs over a destroyed object.
    unk->AddRef();
    IUnknown* identity = ComIdentity(unk);
    for (;;) {
        auto it = Holders().find(identity);
        if (it == Holders().end() || it->second.empty())
            break;
        ExternalHolder* holder = it->second.front();
        holder->DisconnectHolder(); // unregisters itself
        auto again = Holders().find(identity);
        if (again != Holders().end() && !again->second.empty() && again->second.front() == holder)
            UnregisterExternalHolder(identity, holder); // a holder that did not unregister
    }
    unk->Release();
    return S_OK;
}
