// The client side of the soak run (scripts/soak.sh): `servers` OPC server
// objects from this one process, each with an active group at `rate` ms
// holding the tags P<n>_COM<n> of ports 1..`ports` and a data-change sink.
// The ports carry strings "P<nnn> <sequence>"; every delivered value is
// checked as it arrives:
//   - it belongs to the item's own port and has good quality;
//   - its sequence number is higher than the last one the group delivered
//     for that item (never backwards, and an unchanged value is never
//     delivered twice);
//   - a group gets at most one data change per update period.
// Prints "ready" once every sink is advised. Reads "end <last-sequence>"
// on standard input, then waits until every group has delivered that
// final value for every item, prints one JSON report line and exits 0
// when every check held, 1 otherwise.
//
//   soak_client [servers=31] [ports=64] [rate-ms=100]   (on the bus linvaro serves)
#include "OpcClient.h"

#include "ComObject.h"
#include "DataChangeSink.h"
#include "TaskMem.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ItemTrack {
    long long last = -1;
    unsigned long long deliveries = 0;
    unsigned long long skipped = 0; // sequence numbers superseded within a period
};

struct Faults {
    unsigned long long backwardsOrRepeated = 0;
    unsigned long long foreign = 0; // a value of another port, or unreadable
    unsigned long long badQuality = 0;
    unsigned long long wrongGroup = 0;
    unsigned long long tooOften = 0; // more data changes than update periods
    unsigned long long Total() const { return backwardsOrRepeated + foreign + badQuality + wrongGroup + tooOften; }
};

class SoakSink : public DataChangeSink {
public:
    SoakSink(OPCHANDLE group, int ports, DWORD rateMs, Faults& faults)
        : group_(group), rateMs_(rateMs), faults_(faults), items(static_cast<std::size_t>(ports))
    {
    }
    HRESULT OnDataChange(DWORD, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD count, OPCHANDLE* handles,
                         VARIANT* values, WORD* qualities, FILETIME*, HRESULT*) override
    {
        if (!clock_.isValid())
            clock_.start();
        ++callbacks;
        // Pulses come every 10 ms and a group reports at most once per
        // period; arrival times jitter over the bus, so the count is held
        // against the periods elapsed with a margin of two and 5 %.
        const double periods = static_cast<double>(clock_.elapsed()) / static_cast<double>(rateMs_);
        if (static_cast<double>(callbacks) > periods * 1.05 + 2.0 && !overRate_) {
            overRate_ = true;
            ++faults_.tooOften;
        }
        if (hGroup != group_)
            ++faults_.wrongGroup;
        for (DWORD i = 0; i < count; ++i) {
            const OPCHANDLE port = handles[i];
            if (port < 1 || port > items.size() || values[i].vt != VT_BSTR) {
                ++faults_.foreign;
                continue;
            }
            if (qualities[i] != OPC_QUALITY_GOOD)
                ++faults_.badQuality;
            unsigned valuePort = 0;
            long long seq = -1;
            const std::string text = AnsiFromBstr(values[i].bstrVal);
            ItemTrack& t = items[port - 1];
            if (text.empty() && t.deliveries == 0) {
                ++t.deliveries; // the first report of a port that has not sent yet
                continue;
            }
            if (std::sscanf(text.c_str(), "P%u %lld", &valuePort, &seq) != 2 || valuePort != port) {
                ++faults_.foreign;
                continue;
            }
            ++t.deliveries;
            if (seq <= t.last)
                ++faults_.backwardsOrRepeated;
            else if (t.last >= 0)
                t.skipped += static_cast<unsigned long long>(seq - t.last - 1);
            t.last = std::max(t.last, seq);
        }
        return S_OK;
    }

    unsigned long long callbacks = 0;
    std::vector<ItemTrack> items;

private:
    OPCHANDLE group_;
    DWORD rateMs_;
    Faults& faults_;
    QElapsedTimer clock_;
    bool overRate_ = false;
};

struct Client {
    ComPtr<IOPCServer> server;
    ComPtr<IUnknown> group;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    SoakSink* sink = nullptr; // owned through `sinkRef`
    ComPtr<IUnknown> sinkRef;
};

int Fail(const std::string& what, HRESULT hr)
{
    std::fprintf(stderr, "soak_client: %s failed: 0x%08X\n", what.c_str(), static_cast<unsigned>(hr));
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int serverCount = argc > 1 ? std::atoi(argv[1]) : 31;
    const int ports = argc > 2 ? std::atoi(argv[2]) : 64;
    const DWORD rate = argc > 3 ? static_cast<DWORD>(std::atoi(argv[3])) : 100;
    if (serverCount < 1 || ports < 1 || rate < 10)
        return 2;

    Faults faults;
    std::vector<Client> clients(static_cast<std::size_t>(serverCount));
    std::vector<std::u16string> ids;
    for (int p = 1; p <= ports; ++p) {
        const std::string tag = "P" + std::to_string(p) + "_COM" + std::to_string(p);
        ids.emplace_back(tag.begin(), tag.end());
    }
    static OLECHAR empty[] = {0};
    for (int c = 0; c < serverCount; ++c) {
        Client& cl = clients[static_cast<std::size_t>(c)];
        HRESULT hr = opcclient::CreateInstance(CLSID_DA2, IID_IOPCServer, cl.server.putVoid());
        if (FAILED(hr))
            return Fail("CreateInstance " + std::to_string(c + 1), hr);
        OPCHANDLE hGroup = 0;
        DWORD revised = 0;
        const OPCHANDLE clientGroup = static_cast<OPCHANDLE>(1000 + c);
        hr = cl.server->AddGroup(u"soak", 1, rate, clientGroup, nullptr, nullptr, 0, &hGroup, &revised,
                                 IID_IOPCItemMgt, cl.group.put());
        ComPtr<IOPCItemMgt> itemMgt;
        if (FAILED(hr) || FAILED(hr = cl.group.As(IID_IOPCItemMgt, itemMgt)))
            return Fail("AddGroup", hr);
        if (revised != rate)
            return Fail("update rate " + std::to_string(revised) + " instead of " + std::to_string(rate), E_FAIL);
        std::vector<OPCITEMDEF> defs;
        for (int p = 1; p <= ports; ++p)
            defs.push_back(OPCITEMDEF{empty, ids[static_cast<std::size_t>(p - 1)].data(), 1,
                                      static_cast<OPCHANDLE>(p), 0, nullptr, VT_EMPTY, 0});
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        hr = itemMgt->AddItems(static_cast<DWORD>(ports), defs.data(), &results, &errors);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        if (hr != S_OK)
            return Fail("AddItems", hr);
        cl.sink = new SoakSink(clientGroup, ports, rate, faults);
        cl.sinkRef = ComPtr<IUnknown>(static_cast<IOPCDataCallback*>(cl.sink));
        ComPtr<IConnectionPointContainer> cpc;
        if (FAILED(hr = cl.group.As(IID_IConnectionPointContainer, cpc)) ||
            FAILED(hr = cpc->FindConnectionPoint(IID_IOPCDataCallback, cl.point.put())) ||
            FAILED(hr = cl.point->Advise(cl.sinkRef.get(), &cl.cookie)))
            return Fail("Advise", hr);
    }
    std::printf("ready\n");
    std::fflush(stdout);

    long long finalSeq = -2;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[256];
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input.setEnabled(false);
            if (finalSeq < -1)
                finalSeq = -1; // closed without an end: report as is
            return;
        }
        pending.append(buf, static_cast<std::size_t>(n));
        long long seq = 0;
        if (pending.find('\n') != std::string::npos && std::sscanf(pending.c_str(), "end %lld", &seq) == 1)
            finalSeq = seq;
    });
    while (finalSeq < -1)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);

    const auto allFinal = [&] {
        for (const Client& cl : clients)
            for (const ItemTrack& t : cl.sink->items)
                if (t.last != finalSeq)
                    return false;
        return true;
    };
    QElapsedTimer waited;
    waited.start();
    while (!allFinal() && waited.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);

    unsigned long long missingFinal = 0, deliveries = 0, skipped = 0, callbacks = 0;
    for (const Client& cl : clients) {
        callbacks += cl.sink->callbacks;
        for (const ItemTrack& t : cl.sink->items) {
            deliveries += t.deliveries;
            skipped += t.skipped;
            if (t.last != finalSeq)
                ++missingFinal;
        }
    }
    const bool ok = faults.Total() == 0 && missingFinal == 0 && finalSeq >= 0;
    std::printf("{\"ok\":%s,\"servers\":%d,\"ports\":%d,\"rate_ms\":%u,\"final_sequence\":%lld,"
                "\"callbacks\":%llu,\"deliveries\":%llu,\"skipped_within_period\":%llu,"
                "\"items_without_final_value\":%llu,\"backwards_or_repeated\":%llu,\"foreign_values\":%llu,"
                "\"bad_quality\":%llu,\"wrong_group_handle\":%llu,\"groups_over_rate\":%llu}\n",
                ok ? "true" : "false", serverCount, ports, static_cast<unsigned>(rate), finalSeq, callbacks,
                deliveries, skipped, missingFinal, faults.backwardsOrRepeated, faults.foreign, faults.badQuality,
                faults.wrongGroup, faults.tooOften);
    std::fflush(stdout);
    // The report goes first: a call that blocks while letting go must not
    // hide what was found.
    for (Client& cl : clients) {
        cl.point->Unadvise(cl.cookie);
        cl.point.reset();
        cl.group.reset();
        cl.server.reset();
    }
    return ok ? 0 : 1;
}
