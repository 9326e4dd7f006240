#pragma once
// The system settings in Linvaro.ini: sections "System" and "Security", read
// at every settings load and written by Save, through the general support
// library; the settings password is stored encrypted by the security
// library. The struct holds the values as the controls show them and as the
// program uses them after a load.
#include "Autostart.h"
#include "LineSettings.h"
#include "SupportLibraries.h"

#include <string>

struct SystemSettings {
    int tagResponseTimeout = 5;     // seconds, 0 = none; not consulted by the links
    int portResponseTimeout = 5000; // ms, serial time-outs of links built afterwards
    bool loadOnWindowsStartup = false; // the autostart entry
    bool logEvent = false;          // activity log also written to the log file
    bool hideOnStartup = false;     // key "Load on Startup"
    bool enableRemoteOpcServer = false;
    std::string remoteOpcServer;    // ProgID of the remote OPC server
    bool protectSettings = false;
    std::string password;           // plain text in memory only
    // The stored password could not be decrypted (key file lost, another
    // user's file): password is empty then, the page stays locked, and a
    // Save that does not set a new password keeps the stored one.
    bool passwordUnreadable = false;
    // Size at which the activity log and the port logs are rotated (key
    // "Log File Size", in MB; 0 = never).
    int logFileSizeMb = 10;
    // How ports' bytes become text ("ISO-8859-1" or "UTF-8"; see PortText.h).
    // Read only: not among the controls, kept in the file by Save.
    std::string portTextEncoding = "ISO-8859-1";
};

// Ranges of the two timeout spin boxes; values read outside are clamped.
inline constexpr int kMaxTagResponseTimeout = 999;
inline constexpr int kMaxPortResponseTimeout = 99999;
inline constexpr int kMaxLogFileSizeMb = 4096;

// Reads every key; a missing key gives its default, a timeout text that is
// not a decimal integer keeps the value s held before. A stored password
// that cannot be decrypted sets passwordUnreadable.
void ReadSystemSettings(const support::GeneralApi& gn, const support::SecurityApi& sc, const std::string& iniPath,
                        SystemSettings& s);

// The mapping of COMn to device paths in section "Serial Ports" of iniPath,
// read at each use (so an edited file counts at the next start of a port).
// A key present with an empty value, or an INI that cannot be read, refuses
// the port with a reason naming the file; a missing key leaves the default.
serial::ComPortMapping SerialPortMapping(const support::GeneralApi& gn, const std::string& iniPath);

// Writes every key and writes or removes the autostart entry, which starts
// the given command. The keys replace the file all at once: it holds either the old
// or the new settings, whenever the process ends. A symbolic link stays a
// link: its target is replaced, in the target's own folder. Every key is written even
// when a step fails; false with error set when the autostart entry could not
// be changed, the password could not be encrypted (the stored password is
// then left as it was), or the file could not be replaced (it is then left
// as it was).
bool WriteSystemSettings(const support::GeneralApi& gn, const support::SecurityApi& sc, const std::string& iniPath,
                         const SystemSettings& s, const AutostartCommand& autostart, std::string& error);
