#pragma once
// The program's controller: owns the port grid (the working copy of the Port
// settings), the link list, the tag table, the activity log, the system
// settings and the settings-modified flag, and carries out the commands: load
// settings, save, start and stop scanning, simulate a received string, the
// port list commands, and the start-up and close sequences. The main window
// is a view of it; headless mode runs it without windows.
//
// Threads: main thread only (link failures on worker threads reach it queued
// through the link list).
#include "ActivityLog.h"
#include "CommObjList.h"
#include "Globals.h"
#include "LinkHost.h"
#include "PortGrid.h"
#include "PortHub.h"
#include "PulseTimer.h"
#include "SupportLibraries.h"
#include "SystemSettings.h"
#include "opcDAHeader.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <string_view>

#include <functional>
#include <string>
#include <vector>

class MainController : public QObject, public LinkHost {
    Q_OBJECT
public:
    static constexpr const char* kDatabaseFile = "LINVARO.GDB";
    static constexpr const char* kIniFile = "Linvaro.ini";
    static constexpr const char* kDatabaseUser = "SYSDBA";

    struct Options {
        std::string programFolder; // with a trailing '/'
        std::string programPath;   // the program file, for the autostart entry
        std::vector<std::string> startArguments; // its arguments there (--home DIR, --headless)
        bool headless = false;
        // How long the start-up keeps trying to open the configuration
        // database (held locked by another program, say), and how often.
        int databaseRetryMs = 30000;
        int databaseRetryIntervalMs = 2000;
    };

    MainController(const Options& options, support::SupportLibraries& libs, RemoteTagLibrary& remote,
                   QObject* parent = nullptr);
    ~MainController() override;

    // The window creation sequence: database, settings load, tags, remote
    // library, and the 2000 ms start timer. A database that cannot be
    // opened is tried again on a timer (a log line per try) for
    // databaseRetryMs; once it opens, the settings load again and the start
    // timer runs. When it never opens, databaseUnavailable is emitted.
    void Create();
    // Tries the database again for another databaseRetryMs (the window's
    // "Retry" after databaseUnavailable).
    void RetryDatabase();
    bool DatabaseConnected() const { return connection_ > 0; }

    // Commands.
    void LoadSettings(bool reload);
    bool Save();
    void Start();
    void Stop();
    // The link shown in grid row `row`, or nullptr (disabled, unsaved, none).
    TCommObj* LinkOfRow(int row) const;
    // Simulate String Received: stores text as the tag value of the link of
    // row and shows it. False when the row has no link (or no tag).
    bool Simulate(int row, const std::string& text);
    // Port list commands; the dialog runner shows the Port Setting dialog.
    void SetSettingsModified(bool on) { settingsModified_ = on; }
    bool SettingsModifiedFlag() const { return settingsModified_; }

    // The close sequence. confirm: ask "Are you sure to exit ...?" first.
    // Returns true when the program may end, false when the user cancelled.
    bool Close(bool confirm);
    // A text sent by another copy of the program ("Exit" closes without the
    // question; anything else is ignored). Returns true when it closed.
    bool ExitMessage(const std::string& text);
    // Whether the exit question is open now. An "Exit" message that arrives
    // meanwhile answers it: the view calls TakeExitMessage and closes the
    // box, and the close goes on whatever the box then returns.
    bool AskingToExit() const { return askingToExit_; }
    void TakeExitMessage() { exitMessageWhileAsking_ = true; }

    // Control changes made by the user (the window's controls): each applies
    // its rule and the settings-modified flag.
    SystemSettings& Controls() { return controls_; }
    const SystemSettings& Effective() const { return effective_; }
    void SetTagResponseTimeoutControl(int seconds);
    void SetPortResponseTimeoutControl(int ms);
    void SetRemoteBox(bool ticked);
    void SetServerNameControl(const std::string& name);
    std::string& ConfirmPassword() { return confirmPassword_; }
    // The settings password prompt: true when the page may open.
    bool PasswordRequired() const { return effective_.protectSettings; }
    // A stored password that could not be decrypted accepts no entry.
    bool PasswordAccepted(const std::string& entered) const
    {
        return !effective_.passwordUnreadable && entered == effective_.password;
    }

    int SelectedRow() const { return selectedRow_; }
    void SetSelectedRow(int row) { selectedRow_ = row; }
    bool RemoteMode() const { return remoteMode_; }
    bool Scanning() const { return links_.Scanning(); }
    bool StartupPhase() const { return startupPhase_; }
    void EndStartupPhase() { startupPhase_ = false; }
    int Connection() const { return connection_; }

    TPortGrid& Grid() { return grid_; }
    TCommObjList& Links() { return links_; }
    TTagTable& Tags() { return tags_; }
    // What the endpoints (OPC UA, MQTT) see of ports and tags.
    PortHub& Hub() { return hub_; }
    ActivityLog& Activity() { return log_; }
    const Options& Opts() const { return options_; }
    PulseTimer& Pulses() { return pulseTimer_; }
    QTimer& StartTimer() { return startTimer_; }

    // Hooks the OPC server fills: the pulse with the current local time, the
    // shutdown request to every client, and the number of connected clients.
    std::function<void(double localNow)> opcPulse;
    // An early pulse between regular ones (see PulseTimer.h).
    std::function<void(double localNow)> opcEarlyPulse;
    std::function<void()> opcShutdownRequest;
    std::function<int()> opcConnectedCount;
    // Whether the main window is visible (headless: never).
    std::function<bool()> windowVisible;

    // LinkHost
    void Log(const std::string& message) override;
    int ShowMsg(const std::string& text, int kind, int buttons) override;
    void ProcessMessages() override;
    void ShowTagValue(int linkIndex, const std::string& text) override;
    void ScanningChanged(bool started) override;
    bool SettingsModified() override { return settingsModified_; }
    void SaveSettings() override { Save(); }
    void ReloadSettings() override { LoadSettings(false); }
    void LogPortData(const std::string& logFile, bool sent, std::string_view bytes) override;

signals:
    // The start-up could not open the configuration database within the
    // retry time; error says why.
    void databaseUnavailable(const std::string& error);
    void scanningChanged(bool started);
    void hideRequested();
    void settingsLoaded();  // controls and grid hold the loaded values
    void closing();         // the close sequence ended: the window goes

private:
    void applyRemoteBoxRule(bool showMessage);
    void pulse();
    void earlyPulse();
    bool connectDatabase(std::string& error);
    void retryDatabase();
    void reportIniProblem();

    Options options_;
    support::SupportLibraries& libs_;
    RemoteTagLibrary& remote_;
    ActivityLog log_;
    TPortGrid grid_;
    TTagTable tags_;
    TCommObjList links_;
    PortHub hub_;
    SystemSettings controls_;  // what the controls show
    SystemSettings effective_; // process-wide values as last loaded
    std::string confirmPassword_;
    bool settingsModified_ = false;
    bool remoteMode_ = false;
    bool startupPhase_ = false;
    bool askingToExit_ = false;
    bool exitMessageWhileAsking_ = false;
    int selectedRow_ = 1;
    int connection_ = 0;
    QTimer startTimer_;
    PulseTimer pulseTimer_;
    QTimer databaseRetryTimer_;
    QElapsedTimer databaseRetryClock_;
    int databaseTries_ = 0;
    std::string lastIniProblem_;
    // Rotation size of the log files in bytes; read by worker threads.
    std::atomic<long long> logFileLimit_ {10LL * 1024 * 1024};
};
