#pragma once
// Where the program keeps its data (LINVARO.GDB, Linvaro.ini, per-port logs)
// when --home does not say.
#include <string>

// The user's data folder for this program, with a trailing '/':
// userfolders::DataHome() + "/linvaro/" ($XDG_DATA_HOME/linvaro/, by default
// ~/.local/share/linvaro/). Empty when the user has no usable home.
std::string UserDataFolder();

// The program folder while this user may write it, so a copy unpacked into
// a folder of its own keeps its data beside it; else (a packaged program, a
// folder under /usr, which belongs to the package manager even for root)
// UserDataFolder(). programFolder ends with '/'. Creates nothing.
std::string DefaultDataFolder(const std::string& programFolder);
