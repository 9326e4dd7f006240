#pragma once
// Where per-user state lives: the XDG base folders and the runtime folder.
// Nothing here ever falls back to a folder that other users share: a folder
// that cannot be found for this user is given as "" and the caller refuses
// the work that needed it.
//
// Following the XDG base directory rules, a variable that holds a relative
// path is ignored as if it were unset.
#include <string>
#include <vector>

namespace userfolders {

// The user's home folder: $HOME when it is an absolute path to a folder this
// user owns and others cannot write, else the same check on the home the
// password database names; "" when neither is usable.
std::string Home();

// $XDG_DATA_HOME, $XDG_CONFIG_HOME, $XDG_STATE_HOME when absolute, else
// Home() + "/.local/share", "/.config", "/.local/state"; "" without a home.
std::string DataHome();
std::string ConfigHome();
std::string StateHome();

// Puts the three folders above into the process environment as absolute
// paths, so that every part of the program and the support libraries agree
// on them whatever the variables held before. False (with the reason) when
// one of them has no usable folder; the environment is then left as it was.
bool SettleEnvironment(std::string& error);

// The runtime folders that may hold this user's locks and sockets, in the
// order locks are taken:
//   /run/user/<uid>        the folder the system gives the user (what
//                          XDG_RUNTIME_DIR names in a login session);
//   /tmp/linvaro-<uid>     the replacement used when there is no runtime
//                          folder; never $TMPDIR, so every environment of
//                          the user finds it;
//   $XDG_RUNTIME_DIR       when it names yet another folder.
// Each counts only when it is a real folder (no symbolic link) owned by
// this user with no access for anyone else. With createFallback the
// replacement folder is made (mode 0700) when the system's folder does not
// count, so that the first folder depends on the user alone. Empty when no
// folder counts.
std::vector<std::string> RuntimeFolders(bool createFallback);

// Whether path is a real folder owned by this user that no one else can
// enter (the test for runtime folders).
bool IsPrivateFolder(const std::string& path);

} // namespace userfolders
