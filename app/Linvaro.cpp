// The program entry: command line, support libraries, single instance, then
// the controller with its main window (or without, in headless mode).
#include "AppInit.h"
#include "ConsoleOutput.h"
#include "StderrRelay.h"
#include "Main.h"
#include "MainController.h"
#include "MessageBoxes.h"
#include "MqttWiring.h"
#include "OpcServerWiring.h"
#include "RegDeRegServer.h"
#include "ServIMPL.h"
#include "UaEndpointWiring.h"

#include "Endpoint.h"

#include "BusServer.h"
#include "DataFolder.h"
#include "DynamicLibrary.h"
#include "EdgeNode.h"
#include "RegistryStore.h"
#include "UserFolders.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

struct CommandLine {
    std::string home;
    bool headless = false;
    bool exit = false;
    bool setMqttPassword = false;
    std::string addUaUser; // --add-ua-user NAME
    std::string uaRole = "read";
    bool regServer = false, unregServer = false, embedding = false, automation = false;
    std::string error;
};

bool IsSwitch(const char* arg, const char* word)
{
    return (arg[0] == '-' || arg[0] == '/') && strcasecmp(arg + 1, word) == 0;
}

CommandLine Parse(int argc, char** argv)
{
    CommandLine cl;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--home") == 0) {
            if (i + 1 >= argc) {
                cl.error = "--home needs a folder";
                return cl;
            }
            cl.home = argv[++i];
        } else if (std::strcmp(a, "--headless") == 0) {
            cl.headless = true;
        } else if (std::strcmp(a, "--exit") == 0) {
            cl.exit = true;
        } else if (std::strcmp(a, "--set-mqtt-password") == 0) {
            cl.setMqttPassword = true;
        } else if (std::strcmp(a, "--add-ua-user") == 0 || std::strcmp(a, "--role") == 0) {
            if (i + 1 >= argc) {
                cl.error = std::string(a) + (a[2] == 'a' ? " needs a user name" : " needs read or write");
                return cl;
            }
            (a[2] == 'a' ? cl.addUaUser : cl.uaRole) = argv[++i];
        } else if (IsSwitch(a, "regserver")) {
            cl.regServer = true;
        } else if (IsSwitch(a, "unregserver")) {
            cl.unregServer = true;
        } else if (IsSwitch(a, "embedding")) {
            cl.embedding = true;
        } else if (IsSwitch(a, "automation")) {
            cl.automation = true;
        } else if (std::strcmp(a, "--help") == 0) {
            cl.error = "help";
        } else {
            cl.error = std::string("unknown argument: ") + a;
        }
    }
    return cl;
}

int g_signalPipe[2] = {-1, -1};
// Ends every database statement and lock wait at once, so that a signal
// that arrives while the start-up is inside the database is seen at once.
TAbortAllDB g_abortDatabase = nullptr;

// SIGTERM and SIGINT close the program, SIGHUP reloads the settings; the
// handler only tells the main loop which.
void OnSignal(int signal)
{
    const char c = signal == SIGHUP ? 'r' : 'x';
    [[maybe_unused]] auto n = write(g_signalPipe[1], &c, 1);
    if (c == 'x' && g_abortDatabase)
        g_abortDatabase();
}

// The program file's full path (symbolic links resolved).
std::string ProgramPath() { return QCoreApplication::applicationFilePath().toStdString(); }

// The --home folder as an absolute path without a trailing slash, so that the
// activation file and the autostart entry find it from any current folder;
// "" when none was given.
std::string AbsoluteHome(const std::string& home)
{
    if (home.empty())
        return home;
    std::error_code ec;
    std::string path = std::filesystem::absolute(home, ec).lexically_normal().string();
    if (ec)
        path = home;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

void AlreadyRunning(const SingleInstance& instance, const std::function<void(const std::string&)>& say)
{
    if (instance.Error().empty())
        say("Quorbel Linvaro is already running!");
    else
        say("cannot tell whether Quorbel Linvaro is already running: " + instance.Error());
}

} // namespace

int main(int argc, char** argv)
{
    const CommandLine cl = Parse(argc, argv);
    if (!cl.error.empty()) {
        if (cl.error != "help")
            std::fprintf(stderr, "linvaro: %s\n", cl.error.c_str());
        std::fprintf(stderr, "usage: linvaro [--home DIR] [--headless] [--exit] [--set-mqtt-password] [--add-ua-user NAME [--role read|write]] [/regserver|/unregserver|/embedding|/automation]\n");
        return cl.error == "help" ? 0 : 2;
    }

    const comserver::StartMode startMode =
        comserver::StartModeOf(cl.embedding || cl.automation, cl.regServer, cl.unregServer);
    // A copy the bus starts for a client (-Embedding) serves that client: it
    // runs headless, so no window or modal box can hold it up before it
    // answers on the bus.
    const bool startedByBus = startMode == comserver::StartMode::Automation;
    const bool gui = !cl.headless && !cl.exit && !cl.setMqttPassword && cl.addUaUser.empty() && !comserver::EndsAfterRegistration(startMode) && !startedByBus;
    std::unique_ptr<QCoreApplication> app;
    if (gui)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName("Quorbel Linvaro");
    const std::string programPath = ProgramPath();

    if (cl.exit) {
        if (SingleInstance::SendText(programPath, "Exit"))
            return 0;
        std::fprintf(stderr, "linvaro: no running copy of %s answered\n", programPath.c_str());
        return 1;
    }
    // Per-user files (registry store, activation and autostart entries, the
    // key of the settings password, the log file) never go to a folder other
    // users share: without a home of this user the program ends here.
    if (std::string error; !userfolders::SettleEnvironment(error)) {
        std::fprintf(stderr, "linvaro: %s\n", error.c_str());
        return 1;
    }
    const std::string givenHome = AbsoluteHome(cl.home);
    auto say = [](const std::string& text) { std::fprintf(stderr, "linvaro: %s\n", text.c_str()); };
    if (comserver::EndsAfterRegistration(startMode)) {
        // Register and unregister end at once, without a window; a copy that
        // finds this program file running does nothing.
        SingleInstance instance;
        if (!instance.Acquire(programPath)) {
            AlreadyRunning(instance, say);
            return 1;
        }
        if (comserver::RunStartupWork(startMode, programPath, givenHome))
            return 0;
        say(std::string(startMode == comserver::StartMode::RegServer ? comserver::kRegistryWriteError
                                                                      : comserver::kRegistryRemoveError) +
            " (registry store " + registry::Root() + ", activation files " + comserver::ActivationFolder() + ")");
        return 1;
    }

    // The data folder: data files and per-port logs.
    std::string home = givenHome.empty() ? DefaultDataFolder(ProgramFolder()) : givenHome;
    if (home.empty()) {
        std::fprintf(stderr, "linvaro: no home folder is known for the data; give --home\n");
        return 1;
    }
    if (home.back() != '/')
        home += '/';
    if (!QDir().mkpath(QString::fromStdString(home)) || access(home.c_str(), R_OK | W_OK | X_OK) != 0) {
        std::fprintf(stderr, "linvaro: cannot use the folder %s (%s)\n", home.c_str(), std::strerror(errno));
        return 1;
    }

    auto plainBox = [gui](const std::string& text) {
        std::fprintf(stderr, "linvaro: %s\n", text.c_str());
        if (gui)
            QMessageBox::warning(nullptr, "Quorbel Linvaro", QString::fromStdString(text));
    };
    support::SupportLibraries libs;
    libs.load(ProgramFolder(), plainBox);
    RemoteTagLibrary remote;
    remote.Load(ProgramFolder(), plainBox);
    if (cl.setMqttPassword)
        return SetMqttPasswordFromInput(home, libs);
    if (!cl.addUaUser.empty())
        return AddUaUserFromInput(home, cl.addUaUser, cl.uaRole);
    if (gui && libs.gn.SetMsgHandler)
        libs.gn.SetMsgHandler(&ShowModalMessageBox, nullptr);

    SingleInstance instance;
    if (!instance.Acquire(programPath)) {
        AlreadyRunning(instance, [&libs, &plainBox](const std::string& text) {
            if (libs.gn.ShowMsg)
                libs.gn.ShowMsg(text.c_str(), 1, 4, 0);
            else
                plainBox(text);
        });
        return 1;
    }
    // Framework registration at every start; a failure to write is ignored.
    comserver::RunStartupWork(startMode, programPath, givenHome);

    // COMn names map to device paths in section "Serial Ports" of Linvaro.ini.
    if (libs.generalLoaded())
        TCommPortDriver::SetDeviceMapping(SerialPortMapping(libs.gn, home + MainController::kIniFile));

    MainController::Options options;
    options.programFolder = home;
    options.programPath = programPath;
    // The autostart entry starts the program as this copy was started.
    if (!givenHome.empty())
        options.startArguments = {"--home", givenHome};
    if (cl.headless)
        options.startArguments.push_back("--headless");
    options.headless = !gui;
    // Both outlive the controller, whose last log lines they still take; the
    // relay of standard error goes last.
    std::unique_ptr<StderrRelay> stderrRelay;
    std::unique_ptr<ConsoleOutput> console;
    MainController controller(options, libs, remote);
    // The in-process OPC server serves the controller's tag table.
    ConnectOpcServer(controller);
    // Started by the bus for a client: end with the last client's server object.
    if (startMode == comserver::StartMode::Automation)
        comserver::EndWhenLastServerObjectGoes([&app] {
            QMetaObject::invokeMethod(app.get(), [] {
                if (ConnectedServerCount() == 0)
                    QCoreApplication::quit();
            }, Qt::QueuedConnection);
        });

    // Every close path ends in the controller's close sequence.
    QObject::connect(&controller, &MainController::closing, app.get(), &QCoreApplication::quit, Qt::QueuedConnection);
    std::unique_ptr<TfrmMain> window;
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (gui) {
        QApplication::setQuitOnLastWindowClosed(false);
        window = std::make_unique<TfrmMain>(controller);
        QObject::connect(&instance, &SingleInstance::textReceived, window.get(), [&window](const std::string& text) {
            std::string t = text.substr(0, 99);
            if (auto nul = t.find('\0'); nul != std::string::npos)
                t.resize(nul);
            if (t == "Exit")
                window->CloseFromExitMessage();
        });
        controller.Create();
        window->ShowAtStartup();
    } else {
        // Headless: the activity log goes to standard output, SIGTERM or
        // SIGINT act as the "Exit" message, and SIGHUP reloads the settings
        // (LINVARO.GDB and Linvaro.ini) as a Save does after writing them.
        // A reader that stalls never holds the main thread: lines queue up
        // to a bound and are then dropped (and counted).
        console = std::make_unique<ConsoleOutput>(STDOUT_FILENO);
        // Message boxes and warnings go to standard error: the same holds there.
        stderrRelay = std::make_unique<StderrRelay>();
        QObject::connect(&controller.Activity(), &ActivityLog::lineAdded, [&console](const QString& line) {
            if (console)
                console->Write(line.toStdString());
        });
        // Without its configuration database a service is of no use: end
        // with a failure code, so that a service manager sees it.
        QObject::connect(&controller, &MainController::databaseUnavailable, app.get(),
                         [] { QCoreApplication::exit(3); });
        g_abortDatabase = libs.da.AbortAllDB;
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) == 0) {
            signalNotifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
            QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [&controller] {
                char c = 0;
                if (read(g_signalPipe[0], &c, 1) != 1)
                    return;
                if (c == 'r')
                    controller.LoadSettings(true);
                else
                    controller.ExitMessage("Exit");
            });
            struct sigaction sa{};
            sa.sa_handler = OnSignal;
            sigemptyset(&sa.sa_mask);
            sa.sa_flags = SA_RESTART;
            sigaction(SIGTERM, &sa, nullptr);
            sigaction(SIGINT, &sa, nullptr);
            sigaction(SIGHUP, &sa, nullptr);
        }
        QObject::connect(&instance, &SingleInstance::textReceived, &controller, [&controller](const std::string& text) {
            controller.ExitMessage(text);
        });
        controller.Create();
        controller.EndStartupPhase();
    }
    // The Sparkplug B edge node, when Linvaro.ini enables it.
    std::unique_ptr<EdgeNode> mqttNode = StartMqttEdgeNode(controller, libs);
    // Clients in other processes reach the OPC server over the session bus;
    // without a bus the program runs for its in-process uses only.
    QString busError;
    std::unique_ptr<opcdbus::BusServer> bus = opcdbus::ServeOpcServerClass(&busError);
    if (bus)
        ConfigureOpcBus(*bus, controller, [&libs, &home](const char* section, const char* key) {
            const char* v = libs.gn.GetInitSettingStr
                                ? libs.gn.GetInitSettingStr(section, key, (home + MainController::kIniFile).c_str(), "")
                                : nullptr;
            return std::string(v ? v : "");
        });
    if (!bus) {
        const std::string text = "The OPC server is not on the session bus: " + busError.toStdString();
        controller.Activity().Log(text);
        std::fprintf(stderr, "linvaro: %s\n", text.c_str());
    }
    // A copy the bus started for something that made no server object (an
    // introspection, a ping) would otherwise hold the single instance for
    // good.
    if (startMode == comserver::StartMode::Automation)
        QTimer::singleShot(comserver::kBusStartGraceMs, app.get(), [] {
            if (ConnectedServerCount() == 0)
                QCoreApplication::quit();
        });
    // OPC UA clients see the same ports and tags through the controller's hub.
    std::unique_ptr<ua::Endpoint> uaEndpoint = StartUaEndpoint(controller, libs.gn);
    const int rc = app->exec();
    StopUaEndpoint(controller, uaEndpoint);
    mqttNode.reset();
    window.reset();
    // Clients' references go first, then every server object goes before the
    // controller, so no client call can reach the tag table or the links.
    bus.reset();
    DisconnectOpcServer(controller);
    return rc;
}
