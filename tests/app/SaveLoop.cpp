// Test helper: a controller on the folder given as argument, with the real
// support libraries, saving two different sets of Port settings in turn for
// as long as it lives. The kill test ends it with SIGKILL at random moments
// and then checks what LINVARO.GDB and Linvaro.ini hold. Prints "saved N" after each Save
// that returned.
//
// usage: linvaro_save_loop HOME
#include "MainController.h"

#include "DynamicLibrary.h"

#include <QCoreApplication>

#include <cstdio>
#include <string>

namespace {

int QuietAnswer(const char*, int, int, void*) { return 1; }

// Set 0 holds three ports, set 1 five others: any mixture of the two is
// visible in the descriptions. The system settings differ between the sets
// in the first and in the last key Save writes.
void Fill(MainController& c, int set)
{
    c.Controls().tagResponseTimeout = set == 0 ? 5 : 7;
    c.Controls().remoteOpcServer = set == 0 ? "Old.Server" : "New.Server";
    TPortGrid& g = c.Grid();
    const int count = set == 0 ? 3 : 5;
    g.SetRowCount(count + 1);
    const char* values[psFieldCount] = {"", "", "", "9600", "8", "None", "1", "None", "", "", "", "",
                                        "0", "13", "", "0", "", "100", "0", ""};
    for (int row = 1; row <= count; ++row) {
        for (int c = 0; c < psFieldCount; ++c)
            g.SetCell(c, row, values[c]);
        g.SetCell(psID, row, std::to_string(row));
        g.SetCell(psDESCRIPTION, row, std::string(set == 0 ? "Old" : "New") + std::to_string(row));
        g.SetCell(psPORT, row, "COM" + std::to_string(set * 10 + row));
        // Disabled, so that the reload after each Save builds no links for
        // ports that do not exist here.
        g.SetCell(psDISABLED, row, "1");
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: linvaro_save_loop HOME\n");
        return 2;
    }
    QCoreApplication app(argc, argv);
    support::SupportLibraries libs;
    if (!libs.load(ProgramFolder(), [](const std::string& m) { std::fprintf(stderr, "%s\n", m.c_str()); }))
        return 1;
    libs.gn.SetMsgHandler(&QuietAnswer, nullptr);
    RemoteTagLibrary remote;
    MainController::Options o;
    o.programFolder = std::string(argv[1]) + "/";
    o.programPath = o.programFolder + "linvaro";
    o.headless = true;
    MainController c(o, libs, remote);
    c.Create();
    c.StartTimer().stop();
    for (long n = 1;; ++n) {
        Fill(c, static_cast<int>(n % 2));
        c.SetSettingsModified(true);
        if (!c.Save()) {
            std::fprintf(stderr, "Save failed\n");
            return 1;
        }
        std::printf("saved %ld\n", n);
        std::fflush(stdout);
    }
}
