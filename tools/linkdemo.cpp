// Runs the link engine on a simulated scale: a pseudo-terminal plays the
// device and prints a weight every half second; one port link frames what
// arrives and stores it as its tag's value. Prints the activity log and every
// new tag value. Ends after --seconds N, or on Ctrl-C.
#include "ActivityLog.h"
#include "CommObjList.h"
#include "Globals.h"
#include "LinkHost.h"

#include <QCoreApplication>
#include <QTimer>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::atomic<bool> g_quit{false};

class ConsoleHost : public LinkHost {
public:
    explicit ConsoleHost(ActivityLog& log) : log_(log) {}
    void Log(const std::string& message) override { log_.Log(message); }
    int ShowMsg(const std::string& text, int, int) override
    {
        std::fprintf(stderr, "Linvaro: %s\n", text.c_str());
        return 1;
    }
    void ProcessMessages() override { QCoreApplication::processEvents(); }
    void ShowTagValue(int linkIndex, const std::string& text) override
    {
        std::printf("tag value of link %d: \"%s\"\n", linkIndex, text.c_str());
        std::fflush(stdout);
    }
    void ScanningChanged(bool started) override { std::printf("scanning %s\n", started ? "started" : "stopped"); }
    bool SettingsModified() override { return false; }
    void SaveSettings() override {}
    void ReloadSettings() override {}

private:
    ActivityLog& log_;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int seconds = 0;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atoi(argv[++i]);

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::fprintf(stderr, "linkdemo: no pseudo-terminal available\n");
        return 1;
    }
    termios raw{};
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    const std::string device = ptsname(master);
    std::printf("simulated scale on %s (as COM1)\n", device.c_str());
    TCommPortDriver::SetDeviceNameResolver([&](const std::string& com) { return com == "COM1" ? device : std::string(); });

    ActivityLog log;
    QObject::connect(&log, &ActivityLog::lineAdded, [](const QString& line) {
        std::printf("%s\n", line.toLocal8Bit().constData());
        std::fflush(stdout);
    });
    ConsoleHost host(log);
    TTagTable tags;
    TCommObjList list(host, &tags, nullptr);

    TPortSetting scale;
    scale[psID] = "1";
    scale[psDESCRIPTION] = "Scale";
    scale[psPORT] = "COM1";
    scale[psBAUD_RATE] = "9600";
    scale[psDATA_BITS] = "8";
    scale[psPARITY] = "None";
    scale[psSTOP_BITS] = "1";
    scale[psFLOW_CONTROL] = "None";
    scale[psNULL_TERMINATED] = "13";
    scale[psFROM_SUBSTRING] = "GS";
    list.Rebuild({{1, scale}}, LinkConfig{});
    std::printf("tag %s has handle %u\n", list.At(0)->TagName().c_str(), tags.HandleOfName(list.At(0)->TagName()));
    list.StartAll();

    signal(SIGINT, [](int) { g_quit = true; });
    signal(SIGTERM, [](int) { g_quit = true; });

    std::atomic<bool> running{true};
    std::thread device_thread([&] {
        unsigned n = 0;
        while (running) {
            char line[64];
            const int grams = 12000 + static_cast<int>((n * 37) % 500);
            // A scale's continuous output: status, gross weight, unit, CR LF.
            std::snprintf(line, sizeof line, "ST,GS,%+8.3f kg\r\n", grams / 1000.0);
            if (write(master, line, std::strlen(line)) < 0)
                break;
            ++n;
            for (int i = 0; i < 50 && running; ++i)
                usleep(10000);
        }
    });

    QTimer ticker;
    int elapsedMs = 0;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        elapsedMs += 100;
        if (g_quit || (seconds > 0 && elapsedMs >= seconds * 1000))
            app.quit();
    });
    ticker.start(100);
    app.exec();

    running = false;
    device_thread.join();
    list.StopAll();
    list.Clear();
    close(master);
    std::printf("final value of %s: \"%s\"\n", scale.tagName().c_str(), tags.Value(0).textValue.c_str());
    return 0;
}
