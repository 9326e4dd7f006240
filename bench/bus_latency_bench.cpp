// From the last byte of a CR-terminated string written to a pseudo-terminal
// to OnDataChange in a client process (this one), through a real linvaro on
// the session bus (group update rate 10 ms); and synchronous Reads of 1000
// items in one call from the client process.
//
//   bus_latency_bench [strings=1000] [json-file]     (run under dbus-run-session)
#include "OpcClient.h"

#include "ComObject.h"
#include "DynamicLibrary.h"
#include "TaskMem.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class LatencySink : public ComObject, public IOPCDataCallback {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOPCDataCallback)
            return ComAnswer(static_cast<IOPCDataCallback*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
    HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE*, VARIANT* values, WORD*,
                         FILETIME*, HRESULT*) override
    {
        for (DWORD i = 0; i < count; ++i)
            if (values[i].vt == VT_BSTR) {
                last = AnsiFromBstr(values[i].bstrVal);
                at = Clock::now();
            }
        return S_OK;
    }
    HRESULT OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                           HRESULT*) override
    {
        return S_OK;
    }
    HRESULT OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    HRESULT OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
    std::string last;
    Clock::time_point at;
};

bool Provision(const std::string& home, const std::string& device)
{
    sqlite3* db = nullptr;
    if (sqlite3_open((home + "/LINVARO.GDB").c_str(), &db) != SQLITE_OK)
        return false;
    const char* sql =
        "CREATE TABLE PORT_SETTING (ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY, STOP_BITS, FLOW_CONTROL,"
        " RECEIVED_STRING_TAG, RECEIVED_FLAG_TAG, SENT_STRING_TAG, SENT_FLAG_TAG, DISABLED, NULL_TERMINATED,"
        " FROM_SUBSTRING, CONVERT_HEX, AUTO_SEND_STRING, AUTO_SEND_INTERVAL, LOGGED, AUTO_SUFFIX);"
        "INSERT INTO PORT_SETTING VALUES (1,'Bench','COM1','115200','8','None','1','None','','','','',0,13,'',0,'',"
        "100,0,'');";
    const bool ok = sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    std::ofstream ini(home + "/Linvaro.ini");
    ini << "[Serial Ports]\nCOM1=" << device << "\n";
    return ok && ini.good();
}

bool Wait(const std::function<bool()>& cond, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return true;
}

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    const std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int strings = argc > 1 ? std::atoi(argv[1]) : 1000;
    const std::string jsonPath = argc > 2 ? argv[2] : "";
    QTemporaryDir home;
    const std::string h = home.path().toStdString();

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) || unlockpt(master))
        return 1;
    termios raw{};
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    const int slaveKeeper = open(ptsname(master), O_RDWR | O_NOCTTY); // no hang-up before linvaro opens it
    if (!Provision(h, ptsname(master)))
        return 1;

    QProcess linvaro;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* v : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "LINVARO_REGISTRY_ROOT"})
        env.insert(v, home.path() + "/" + v);
    linvaro.setProcessEnvironment(env);
    linvaro.start(QString::fromStdString(ProgramFolder() + "linvaro"), {"--headless", "--home", home.path()});
    QByteArray out;
    if (!Wait([&] {
            out += linvaro.readAllStandardOutput();
            return out.contains("Port \"Bench\" started!");
        }, 15000)) {
        std::fprintf(stderr, "linvaro did not start its port\n%s", out.constData());
        return 1;
    }

    ComPtr<IOPCServer> server;
    HRESULT hr = opcclient::CreateInstance(CLSID_DA2, IID_IOPCServer, server.putVoid());
    if (FAILED(hr)) {
        std::fprintf(stderr, "CreateInstance: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    ComPtr<IUnknown> group;
    hr = server->AddGroup(u"latency", 1, 10, 1, nullptr, nullptr, 0, &hGroup, &revised, IID_IOPCItemMgt, group.put());
    ComPtr<IOPCItemMgt> items;
    if (FAILED(hr) || FAILED(group.As(IID_IOPCItemMgt, items)))
        return 1;
    static OLECHAR empty[] = {0};
    std::u16string id = u"Bench_COM1";
    OPCITEMDEF def{empty, id.data(), 1, 1, 0, nullptr, VT_EMPTY, 0};
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    if (FAILED(items->AddItems(1, &def, &results, &errors)) || FAILED(errors[0]))
        return 1;
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    auto* sinkObject = new LatencySink;
    ComPtr<IUnknown> sink(static_cast<IOPCDataCallback*>(sinkObject));
    ComPtr<IConnectionPointContainer> cpc;
    ComPtr<IConnectionPoint> cp;
    DWORD cookie = 0;
    if (FAILED(group.As(IID_IConnectionPointContainer, cpc)) || FAILED(cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put())) ||
        FAILED(cp->Advise(sink.get(), &cookie)))
        return 1;

    std::vector<double> latencies;
    int missed = 0;
    for (int i = 0; i < strings; ++i) {
        const std::string text = "S" + std::to_string(i);
        const std::string line = text + "\r";
        const auto sent = Clock::now();
        if (write(master, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return 1;
        if (Wait([&] { return sinkObject->last == text; }, 2000))
            latencies.push_back(std::chrono::duration<double, std::milli>(sinkObject->at - sent).count());
        else
            ++missed;
        Wait([] { return false; }, 5); // let the line settle between strings
    }

    // Synchronous Read of 1000 items in one call.
    std::vector<OPCITEMDEF> defs(1000, def);
    if (FAILED(items->AddItems(1000, defs.data(), &results, &errors)))
        return 1;
    std::vector<OPCHANDLE> handles;
    for (int i = 0; i < 1000; ++i)
        handles.push_back(results[i].hServer);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    ComPtr<IOPCSyncIO> io;
    if (FAILED(group.As(IID_IOPCSyncIO, io)))
        return 1;
    int calls = 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 3000) {
        OPCITEMSTATE* states = nullptr;
        if (FAILED(io->Read(OPC_DS_CACHE, 1000, handles.data(), &states, &errors)))
            return 1;
        for (int i = 0; i < 1000; ++i)
            VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        ++calls;
    }
    const double readsPerSecond = calls * 1000.0 / static_cast<double>(t.elapsed());

    cp->Unadvise(cookie);
    cp.reset();
    cpc.reset();
    io.reset();
    items.reset();
    group.reset();
    server.reset();
    linvaro.terminate();
    linvaro.waitForFinished(10000);
    close(slaveKeeper);
    close(master);

    if (latencies.empty())
        return 1;
    const double p50 = Percentile(latencies, 0.50), p99 = Percentile(latencies, 0.99);
    const double max = *std::max_element(latencies.begin(), latencies.end());
    std::printf("%-40s %10s\n", "measure", "value");
    std::printf("%-40s %10zu\n", "strings delivered", latencies.size());
    std::printf("%-40s %10d\n", "strings missed (no callback in 2 s)", missed);
    std::printf("%-40s %10.2f\n", "latency p50 ms", p50);
    std::printf("%-40s %10.2f\n", "latency p99 ms", p99);
    std::printf("%-40s %10.2f\n", "latency max ms", max);
    std::printf("%-40s %10.1f\n", "sync Read of 1000 items, calls/s", readsPerSecond);
    if (!jsonPath.empty()) {
        std::ofstream j(jsonPath);
        j << "{\"delivered\":" << latencies.size() << ",\"missed\":" << missed << ",\"p50_ms\":" << p50
          << ",\"p99_ms\":" << p99 << ",\"max_ms\":" << max << ",\"sync_read_1000_calls_per_s\":" << readsPerSecond
          << "}\n";
    }
    return missed == 0 ? 0 : 2;
}
