#include "RemoteSession.h"

#include "Bstr.h"
#include "OpcClient.h"
#include "TaskMem.h"

namespace {

bool IsTransport(HRESULT hr)
{
    return hr == opcclient::RPC_E_DISCONNECTED_CODE || hr == opcclient::RPC_S_SERVER_UNAVAILABLE_CODE ||
           hr == opcclient::RPC_E_INVALID_DATA_CODE;
}

constexpr WORD kQualityMask = 0xC0;
constexpr WORD kQualityBad = 0x00;

} // namespace

bool RemoteSession::connect()
{
    if (io_)
        return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < retryAfter_)
        return false;
    ComPtr<IOPCServer> server;
    ComPtr<IUnknown> group;
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> io;
    OPCHANDLE serverGroup = 0;
    DWORD revisedRate = 0;
    // Inactive: the group is only read and written on demand, so the server
    // has no change scan to run for it.
    const bool ok = SUCCEEDED(opcclient::CreateInstanceByProgId(progId_, IID_IOPCServer, server.putVoid())) &&
                    SUCCEEDED(server->AddGroup(u"linvaro-remote-tags", 0, 1000, 1, nullptr, nullptr,
                                               LOCALE_SYSTEM_DEFAULT, &serverGroup, &revisedRate, IID_IOPCItemMgt,
                                               group.put())) &&
                    SUCCEEDED(group.As(IID_IOPCItemMgt, items)) && SUCCEEDED(group.As(IID_IOPCSyncIO, io));
    if (!ok) {
        retryAfter_ = now + std::chrono::milliseconds(kRetryPauseMs);
        return false;
    }
    server_ = std::move(server);
    items_ = std::move(items);
    io_ = std::move(io);
    return true;
}

void RemoteSession::drop()
{
    // Releasing the proxies tells the server; a server that went hears nothing.
    io_.reset();
    items_.reset();
    server_.reset();
    known_.clear();
}

RemoteSession::Outcome RemoteSession::item(const std::string& tag, Item& out)
{
    if (const auto it = known_.find(tag); it != known_.end()) {
        out = it->second;
        return Outcome::Done;
    }
    std::u16string id = U16FromAnsi(tag);
    OLECHAR empty[] = {0};
    OPCITEMDEF def{empty, id.data(), 0, nextClientHandle_++, 0, nullptr, VT_EMPTY, 0};
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = items_->AddItems(1, &def, &results, &errors);
    if (FAILED(hr))
        return IsTransport(hr) ? Outcome::Transport : Outcome::Failed;
    const HRESULT itemResult = errors[0];
    Item added{results[0].hServer, results[0].vtCanonicalDataType};
    CoTaskMemFree(results[0].pBlob);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    if (FAILED(itemResult))
        return Outcome::Failed;
    known_[tag] = added;
    out = added;
    return Outcome::Done;
}

RemoteSession::Outcome RemoteSession::read(const std::string& tag, Variant& value)
{
    Item it;
    if (const Outcome o = item(tag, it); o != Outcome::Done)
        return o;
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = io_->Read(OPC_DS_DEVICE, 1, &it.server, &states, &errors);
    if (FAILED(hr))
        return IsTransport(hr) ? Outcome::Transport : Outcome::Failed;
    const bool good = SUCCEEDED(errors[0]) && (states[0].wQuality & kQualityMask) != kQualityBad;
    if (good) {
        VariantClear(value.get());
        *value.get() = states[0].vDataValue; // ownership moves to value
    } else {
        VariantClear(&states[0].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    return good ? Outcome::Done : Outcome::Failed;
}

RemoteSession::Outcome RemoteSession::write(const std::string& tag, const VARIANT& value)
{
    Item it;
    if (const Outcome o = item(tag, it); o != Outcome::Done)
        return o;
    // The server converts too, but not every server does: a flag of type
    // integer gets an integer, a character element its own type.
    Variant sent;
    if (it.canonical == VT_EMPTY || value.vt == it.canonical ||
        FAILED(VariantChangeTypeEx(sent.get(), &value, LOCALE_USER_DEFAULT, 0, it.canonical)))
        VariantCopy(sent.get(), &value);
    HRESULT* errors = nullptr;
    const HRESULT hr = io_->Write(1, &it.server, sent.get(), &errors);
    if (FAILED(hr))
        return IsTransport(hr) ? Outcome::Transport : Outcome::Failed;
    const HRESULT itemResult = errors[0];
    CoTaskMemFree(errors);
    return SUCCEEDED(itemResult) ? Outcome::Done : Outcome::Failed;
}

template <typename F> bool RemoteSession::withRetry(F&& attempt)
{
    for (int round = 0; round < 2; ++round) {
        if (!connect())
            return false;
        switch (attempt()) {
        case Outcome::Done:
            return true;
        case Outcome::Failed:
            return false;
        case Outcome::Transport:
            drop(); // the server restarted or went: one more try on a fresh connection
            break;
        }
    }
    return false;
}

bool RemoteSession::Read(const std::string& tag, Variant& value)
{
    return withRetry([&] { return read(tag, value); });
}

bool RemoteSession::Write(const std::string& tag, const VARIANT& value)
{
    return withRetry([&] { return write(tag, value); });
}
