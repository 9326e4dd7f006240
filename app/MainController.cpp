#include "MainController.h"

#include "LogText.h"
#include "PortSettingStore.h"
#include "PortText.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QThread>

#include <cstdio>

namespace {

constexpr char kDatabasePassword[] = "ln-gdb-26"; // fixed; the database engine ignores it
constexpr int kKindWarning = 0, kKindError = 1, kKindInformation = 2, kKindConfirmation = 3;
constexpr int kButtonsOk = 4, kButtonsYesNo = 3, kButtonsYesCancel = 9;
constexpr int kAnswerYes = 6;

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// One line on standard error, control characters escaped like the log's.
void Tell(const std::string& text) { std::fprintf(stderr, "linvaro: %s\n", logtext::LogLine(text).c_str()); }

// The current local time as a date-time number (days since 1899-12-30).
double LocalNowAsDate()
{
    const QDateTime now = QDateTime::currentDateTime();
    const qint64 localMs = now.toMSecsSinceEpoch() + now.offsetFromUtc() * 1000LL;
    return static_cast<double>(localMs) / 86400000.0 + 25569.0; // 1970-01-01 is day 25569
}

} // namespace

MainController::MainController(const Options& options, support::SupportLibraries& libs, RemoteTagLibrary& remote,
                               QObject* parent)
    : QObject(parent), options_(options), libs_(libs), remote_(remote), links_(*this, &tags_, &remote_),
      hub_(links_, &tags_)
{
    if (libs_.gn.AddLogEx) {
        auto addLog = libs_.gn.AddLogEx;
        log_.SetFileWriter([this, addLog](const std::string& m, const std::string& p) {
            addLog(m.c_str(), p.c_str(), logFileLimit_.load());
        });
    }
    databaseRetryTimer_.setInterval(options_.databaseRetryIntervalMs);
    connect(&databaseRetryTimer_, &QTimer::timeout, this, &MainController::retryDatabase);
    startTimer_.setSingleShot(true);
    startTimer_.setInterval(2000);
    connect(&startTimer_, &QTimer::timeout, this, [this] {
        startTimer_.stop();
        if (links_.Count() > 0)
            Start();
    });
    connect(&pulseTimer_, &PulseTimer::pulse, this, &MainController::pulse);
    connect(&pulseTimer_, &PulseTimer::earlyPulse, this, &MainController::earlyPulse);
}

MainController::~MainController()
{
    databaseRetryTimer_.stop();
    startTimer_.stop();
    pulseTimer_.stop();
    links_.Clear();
    if (connection_ > 0 && libs_.da.DisconnectDB)
        libs_.da.DisconnectDB(connection_, true);
    connection_ = 0;
}

bool MainController::connectDatabase(std::string& error)
{
    const std::string dbPath = options_.programFolder + kDatabaseFile;
    ++databaseTries_;
    if (libs_.da.ConnectDB)
        connection_ = libs_.da.ConnectDB(dbPath.c_str(), kDatabaseUser, kDatabasePassword, true, nullptr);
    if (connection_ <= 0) {
        connection_ = 0;
        error = "the file cannot be opened as a database, or another program holds it locked";
        return false;
    }
    if (!EnsurePortSettingTable(libs_.da, connection_, error)) {
        libs_.da.DisconnectDB(connection_, true);
        connection_ = 0;
        return false;
    }
    return true;
}

void MainController::Create()
{
    const std::string dbPath = options_.programFolder + kDatabaseFile;
    Log("Connecting to database " + Quoted(dbPath) + ".");
    std::string error;
    databaseTries_ = 0;
    if (connectDatabase(error)) {
        Log("Database " + Quoted(dbPath) + " connected.");
    } else {
        Log("Error connecting to database " + Quoted(dbPath) + "! (try 1: " + error + "; trying again for " +
            std::to_string(options_.databaseRetryMs / 1000) + " s)");
        Tell("cannot open the configuration database " + dbPath + " (" + error + "); trying again");
        databaseRetryClock_.start();
        databaseRetryTimer_.start();
    }

    LoadSettings(false);
    startupPhase_ = true;

    Log("Initializing OPC Data Access module.");
    if (remoteMode_)
        remote_.Init(QCoreApplication::instance(), effective_.remoteOpcServer);
    Log("OPC Data Access module initialized.");
    if (connection_ > 0)
        startTimer_.start();
}

void MainController::RetryDatabase()
{
    if (connection_ > 0 || databaseRetryTimer_.isActive())
        return;
    databaseTries_ = 0;
    databaseRetryClock_.start();
    retryDatabase();
    if (connection_ == 0)
        databaseRetryTimer_.start();
}

void MainController::retryDatabase()
{
    const std::string dbPath = options_.programFolder + kDatabaseFile;
    std::string error;
    if (connectDatabase(error)) {
        databaseRetryTimer_.stop();
        Log("Database " + Quoted(dbPath) + " connected (try " + std::to_string(databaseTries_) + ").");
        LoadSettings(true);
        startTimer_.start();
        return;
    }
    if (databaseRetryClock_.elapsed() < options_.databaseRetryMs) {
        Log("Error connecting to database " + Quoted(dbPath) + "! (try " + std::to_string(databaseTries_) + ": " +
            error + ")");
        return;
    }
    databaseRetryTimer_.stop();
    const std::string text = "Error connecting to database " + Quoted(dbPath) + "! " + error + " (gave up after " +
                             std::to_string(databaseTries_) + " tries)";
    Log(text);
    Tell(text);
    emit databaseUnavailable(text);
}

void MainController::reportIniProblem()
{
    const std::string ini = options_.programFolder + kIniFile;
    const char* problem = libs_.gn.IniFileProblem ? libs_.gn.IniFileProblem(ini.c_str()) : "";
    const std::string text = problem ? problem : "";
    // Once per problem, not at every load.
    if (text == lastIniProblem_)
        return;
    lastIniProblem_ = text;
    if (text.empty())
        return;
    // Standard error was told by the general library at the first read.
    Log("The settings file cannot be read (" + text +
        "); its settings take their defaults and mapped serial ports open no device.");
}

void MainController::LogPortData(const std::string& logFile, bool sent, std::string_view bytes)
{
    if (!libs_.gn.AddLogEx)
        return;
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (!hex.empty())
            hex += ' ';
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    // The text part is escaped by the log writer like every logged text.
    const std::string line = std::string(sent ? "Sent" : "Received") + " (HEX: " + hex + ") TEXT: " + std::string(bytes);
    libs_.gn.AddLogEx(line.c_str(), logFile.c_str(), logFileLimit_.load());
}

void MainController::LoadSettings(bool reload)
{
    const bool wasRunning = links_.Count() > 0 && links_.At(0)->Running();
    Log("Loading settings.");
    Stop();
    links_.Clear();

    // System settings: into the controls and the process-wide values.
    const bool boxBefore = controls_.enableRemoteOpcServer;
    SystemSettings read = effective_;
    if (libs_.gn.GetInitSettingStr && libs_.sc.Decrypt)
        ReadSystemSettings(libs_.gn, libs_.sc, options_.programFolder + kIniFile, read);
    controls_ = read;
    effective_ = read;
    confirmPassword_ = read.password;
    log_.SetLogToFile(read.logEvent);
    logFileLimit_.store(static_cast<long long>(read.logFileSizeMb) * 1024 * 1024);
    reportIniProblem();
    if (read.passwordUnreadable)
        Log("The settings password in " + options_.programFolder + kIniFile +
            " cannot be decrypted (its key file is missing or another user's): no password opens the Port Settings "
            "page while protection is on. To reset it, remove the keys \"Password\" and \"Protect Settings\" of "
            "section [Security] while the program is not running.");
    // A load that puts the box back after an unsaved change while the window
    // is visible tells the user again that a restart is needed.
    if (boxBefore != controls_.enableRemoteOpcServer && windowVisible && windowVisible())
        ShowMsg("You must restart Linvaro in order for the Remote OPC Server setting to be effective!",
                kKindInformation, kButtonsOk);
    remoteMode_ = controls_.enableRemoteOpcServer;
    PortTextEncoding encoding = PortTextEncoding::Latin1;
    if (!ParsePortTextEncoding(read.portTextEncoding, encoding))
        Log("Port Text Encoding " + Quoted(read.portTextEncoding) +
            " in Linvaro.ini is neither ISO-8859-1 nor UTF-8; ports' bytes are taken as ISO-8859-1.");
    SetPortTextEncoding(encoding);

    if (read.hideOnStartup && !reload)
        emit hideRequested();

    // Port settings into the grid, and the links.
    PortSettingLoad loaded;
    if (connection_ > 0 && libs_.da.QueryRecords) {
        loaded = LoadPortSettings(libs_.da, connection_, grid_);
        for (const auto& problem : loaded.problems) {
            Log(problem);
            Tell(problem);
        }
    }
    LinkConfig config;
    config.mode = remoteMode_ ? LinkMode::Remote : LinkMode::Local;
    config.portResponseTimeout = static_cast<std::uint32_t>(std::max(effective_.portResponseTimeout, 0));
    config.programFolder = options_.programFolder;
    links_.Rebuild(loaded.rows, config);

    settingsModified_ = false;
    Log("Settings loaded.");
    emit settingsLoaded();
    if (wasRunning)
        Start();
}

bool MainController::Save()
{
    if (controls_.protectSettings && controls_.password != confirmPassword_) {
        ShowMsg("Password and Confirm Password do not match!", kKindWarning, kButtonsOk);
        return false;
    }
    auto showMsg = [this](const std::string& text, int kind, int buttons) { return ShowMsg(text, kind, buttons); };
    if (!SavePortSettings(libs_.da, connection_, grid_, showMsg))
        return false;
    std::string error;
    if (!WriteSystemSettings(libs_.gn, libs_.sc, options_.programFolder + kIniFile, controls_,
                             AutostartCommand(options_.programPath, options_.startArguments), error)) {
        // The port settings are stored; the system settings stay modified
        // so that the user can save them again once the file is writable.
        Log("Error saving system settings: " + error);
        ShowMsg("Error saving System Settings! " + error, kKindError, kButtonsOk);
        return false;
    }
    settingsModified_ = false;
    LoadSettings(true);
    return true;
}

void MainController::Start() { links_.StartAll(); }

void MainController::Stop() { links_.StopAll(); }

TCommObj* MainController::LinkOfRow(int row) const
{
    const auto& map = links_.LinkRowMap();
    for (std::size_t i = 0; i < map.size(); ++i)
        if (map[i] == row)
            return links_.At(static_cast<int>(i));
    return nullptr;
}

bool MainController::Simulate(int row, const std::string& text)
{
    TCommObj* link = LinkOfRow(row);
    // Remote mode keeps no local tag: there is nothing to simulate.
    if (!link || link->TagIndex() < 0)
        return false;
    if (!tags_.SetText(static_cast<std::size_t>(link->TagIndex()), text))
        return false;
    ShowTagValue(link->LinkIndex(), text);
    return true;
}

bool MainController::Close(bool confirm)
{
    if (confirm) {
        askingToExit_ = true;
        exitMessageWhileAsking_ = false;
        const int answer = ShowMsg("Are you sure to exit Quorbel Linvaro?", kKindConfirmation, kButtonsYesCancel);
        askingToExit_ = false;
        if (answer != kAnswerYes && !exitMessageWhileAsking_)
            return false;
    }
    databaseRetryTimer_.stop();
    Stop();
    Log("Shutting down OPC server. Please wait...");
    if (opcShutdownRequest)
        opcShutdownRequest();
    // Give the clients at most about 5 s to let go, serving their calls.
    QElapsedTimer closeTimer;
    closeTimer.start();
    while (opcConnectedCount && opcConnectedCount() > 0 && closeTimer.elapsed() < 5000) {
        QThread::msleep(100);
        QCoreApplication::processEvents();
    }
    tags_.FreeValueRecords();
    if (settingsModified_ && ShowMsg("Do you want to save the changes first?", kKindConfirmation, kButtonsYesNo) == kAnswerYes)
        Save();
    settingsModified_ = false;
    emit closing();
    return true;
}

bool MainController::ExitMessage(const std::string& text)
{
    // At most 99 characters, up to the first NUL, compared exactly.
    std::string t = text.substr(0, 99);
    if (auto nul = t.find('\0'); nul != std::string::npos)
        t.resize(nul);
    if (t != "Exit")
        return false;
    return Close(false);
}

void MainController::SetTagResponseTimeoutControl(int seconds)
{
    if (controls_.tagResponseTimeout != seconds)
        settingsModified_ = true;
    controls_.tagResponseTimeout = seconds;
}

void MainController::SetPortResponseTimeoutControl(int ms)
{
    if (controls_.portResponseTimeout != ms)
        settingsModified_ = true;
    controls_.portResponseTimeout = ms;
}

void MainController::SetRemoteBox(bool ticked)
{
    const bool changed = controls_.enableRemoteOpcServer != ticked;
    controls_.enableRemoteOpcServer = ticked;
    settingsModified_ = true;
    if (changed && windowVisible && windowVisible())
        ShowMsg("You must restart Linvaro in order for the Remote OPC Server setting to be effective!",
                kKindInformation, kButtonsOk);
}

void MainController::SetServerNameControl(const std::string& name)
{
    if (controls_.remoteOpcServer != name)
        settingsModified_ = true;
    controls_.remoteOpcServer = name;
}

void MainController::Log(const std::string& message) { log_.Log(message); }

int MainController::ShowMsg(const std::string& text, int kind, int buttons)
{
    // A box's line breaks (CR) would break the log line, or on a terminal
    // send the cursor back over it: one line, the breaks as blanks.
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool lineBreak = text[i] == '\r' || text[i] == '\n';
        if (!lineBreak)
            line += text[i];
        else if (i + 1 == text.size() || (text[i + 1] != '\r' && text[i + 1] != '\n'))
            line += ' ';
    }
    if (options_.headless)
        Log(line);
    if (!libs_.gn.ShowMsg) {
        Tell(line);
        return (buttons & 4) ? 1 : (buttons & 2) ? 7 : 2;
    }
    return libs_.gn.ShowMsg(text.c_str(), kind, buttons, 0);
}

void MainController::ProcessMessages() { QCoreApplication::processEvents(); }

void MainController::ShowTagValue(int linkIndex, const std::string& text)
{
    const auto& map = links_.LinkRowMap();
    if (linkIndex < 0 || static_cast<std::size_t>(linkIndex) >= map.size())
        return;
    grid_.SetCell(TPortGrid::kCurrentValueColumn, map[static_cast<std::size_t>(linkIndex)], text);
}

void MainController::ScanningChanged(bool started)
{
    if (started)
        pulseTimer_.start();
    else
        pulseTimer_.stop();
    emit scanningChanged(started);
}

void MainController::pulse()
{
    if (opcPulse)
        opcPulse(LocalNowAsDate());
}

void MainController::earlyPulse()
{
    if (opcEarlyPulse)
        opcEarlyPulse(LocalNowAsDate());
}
