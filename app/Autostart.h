#pragma once
// The desktop autostart entry that starts the program at log-in: the file
// linvaro.desktop in $XDG_CONFIG_HOME/autostart (~/.config/autostart when
// the variable is unset or not absolute), in the freedesktop.org autostart
// and desktop entry formats.
#include <string>
#include <utility>
#include <vector>

// Path of the entry; empty when no home folder is known.
std::string AutostartFilePath();

// What the entry starts: the program file and the arguments of the running
// copy that must come back at log-in (--home DIR, --headless).
struct AutostartCommand {
    AutostartCommand(std::string program, std::vector<std::string> args = {})
        : programPath(std::move(program)), arguments(std::move(args)) {}
    AutostartCommand(const char* program) : programPath(program) {}
    std::string programPath;
    std::vector<std::string> arguments;
};

// Writes the entry (enabled) or removes it. The program path must be
// absolute. The file is replaced atomically, so a reader sees the old or the
// new entry, never a partial one. A missing entry counts as removed. False
// with error set on failure; nothing is left behind then.
bool SetAutostart(bool enabled, const AutostartCommand& command, std::string& error);

// Whether the entry exists.
bool AutostartEnabled();

// One word of the command line (the program path or an argument) as one
// quoted argument of an Exec key.
std::string DesktopExecArgument(const std::string& programPath);
