// Renders the main window's two pages and the Port Setting dialog, as the
// program shows them with two configured ports, into PNG files.
//   linvaro-screenshots OUTPUT-FOLDER
#include "Main.h"
#include "PortSetting.h"

#include "DynamicLibrary.h"

#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <QTemporaryDir>

#include <cstdio>

namespace {

void PutRow(TPortGrid& g, int row, const char* id, const char* description, const char* port, const char* baud,
            const char* terminator, const char* suffix)
{
    if (g.RowCount() <= row)
        g.SetRowCount(row + 1);
    const char* values[psFieldCount] = {id, description, port, baud, "8", "None", "1", "None", "", "", "", "",
                                        "0", terminator, "", "0", "", "100", "0", suffix};
    for (int c = 0; c < psFieldCount; ++c)
        g.SetCell(c, row, values[c]);
}

int Quiet(const char*, int, int buttons, void*) { return (buttons & 4) ? 1 : 2; }

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: linvaro-screenshots OUTPUT-FOLDER\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    qputenv("XDG_STATE_HOME", (home.path() + "/state").toUtf8());

    support::SupportLibraries libs;
    if (!libs.load(ProgramFolder(), [](const std::string& m) { std::fprintf(stderr, "%s\n", m.c_str()); }))
        return 1;
    libs.gn.SetMsgHandler(&Quiet, nullptr);
    RemoteTagLibrary remote;
    MainController::Options options;
    options.programFolder = home.path().toStdString() + "/";
    options.programPath = options.programFolder + "linvaro";
    MainController controller(options, libs, remote);
    TfrmMain window(controller);
    controller.Create();
    controller.StartTimer().stop();
    PutRow(controller.Grid(), 1, "1", "Scale", "COM1", "9600", "13", "\r\n");
    PutRow(controller.Grid(), 2, "2", "Barcode Reader", "COM2", "19200", "10", "");
    controller.Save();
    controller.Simulate(1, "ST,GS,+12.345 kg");
    controller.Log("String (HEX: 53 54 2C 47 53 2C 2B 31 32 2E 33 34 35 20 6B 67 0D ) received from port \"Scale\".");
    window.show();
    app.processEvents();

    window.Pages()->setCurrentIndex(0);
    app.processEvents();
    bool ok = window.grab().save(out + "/main-monitor.png");
    window.Pages()->setCurrentIndex(1);
    app.processEvents();
    ok = window.grab().save(out + "/main-port-settings.png") && ok;

    TfrmPortSetting dialog(&window);
    dialog.SetPortGrid(&controller.Grid());
    dialog.SetProgramFolder(options.programFolder);
    dialog.SetShowMsg([](const std::string&, int, int) { return 1; });
    dialog.LoadFromRow(controller.Grid(), 1);
    dialog.show();
    app.processEvents();
    ok = dialog.grab().save(out + "/port-setting-dialog.png") && ok;
    dialog.hide();
    controller.Close(false);
    return ok ? 0 : 1;
}
