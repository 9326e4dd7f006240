#pragma once
// The desktop autostart entry that starts the program at log-in: the file
// linvaro.desktop in $XDG_CONFIG_HOME/autostart (~/.config/autostart when
// the variable is unset or not absolute), in the freedesktop.org autostart
// and desktop entry formats.
#include <string>

// Path of the entry; empty when no home folder is known.
std::string AutostartFilePath();

// Writes the entry (enabled) or removes it. programPath must be absolute.
// The file is replaced atomically, so a reader sees the old or the new entry,
// never a partial one. A missing entry counts as removed. False with error
// set on failure; nothing is left behind then.
bool SetAutostart(bool enabled, const std::string& programPath, std::string& error);

// Whether the entry exists.
bool AutostartEnabled();

// programPath as one quoted argument of an Exec key.
std::string DesktopExecArgument(const std::string& programPath);
