#pragma once
// What the link engine needs from the program around it (the main window in
// the GUI, the controller in headless mode, a recorder in tests). Every call
// is made on the main thread, except LogPortData.
#include <string>
#include <string_view>

class LinkHost {
public:
    virtual ~LinkHost() = default;

    // Activity log line.
    virtual void Log(const std::string& message) = 0;
    // Modal message box (ShowMsg): kind 0 warning, 1 error, 2 information,
    // 3 confirmation; buttons 1 Yes, 2 No, 4 OK, 8 Cancel; 6 = Yes pressed.
    virtual int ShowMsg(const std::string& text, int kind, int buttons) = 0;
    // Lets the window process pending messages.
    virtual void ProcessMessages() = 0;
    // Shows text in the "Current Tag Value" cell of the grid row of a link.
    virtual void ShowTagValue(int linkIndex, const std::string& text) = 0;
    // Scanning started or stopped: pulse timer, Start/Stop buttons, tray image.
    virtual void ScanningChanged(bool started) = 0;
    // Unsaved changes in the port grid or the system settings.
    virtual bool SettingsModified() = 0;
    // The Save command; the settings load with reload false.
    virtual void SaveSettings() = 0;
    virtual void ReloadSettings() = 0;
    // "Log Activities" of a port: bytes received from (sent false) or sent to
    // (sent true) the device, for the port's own log file. May be called
    // from the link's worker thread; the host must not block.
    virtual void LogPortData(const std::string& /*logFile*/, bool /*sent*/, std::string_view /*bytes*/) {}
};
