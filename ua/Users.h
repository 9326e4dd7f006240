#pragma once
// The OPC UA users: a file of its own under the home folder (OpcUaUsers.txt,
// readable by its owner only), one line per user:
//
//     NAME<TAB>ROLE<TAB>HASH
//
// ROLE is "read" (read only) or "write" (read and write); HASH is
// libsodium's password hash string (Argon2id with the interactive limits),
// so the file holds no password. `linvaro --add-ua-user NAME` adds a user
// or sets a new password and role for one.
//
// Checking a password costs a password hash on purpose (some 0.1 s and
// 64 MiB): it runs on the endpoint's worker thread, never on the main
// thread. The file is read again when it changed, so users added while the
// program runs count at once.
//
// Threads: a UserDirectory belongs to one thread at a time (the worker).
#include <cstdint>
#include <map>
#include <string>

namespace ua {

enum class UserRole { Read, ReadWrite };

const char* RoleName(UserRole role);
// "read" or "write"; false for anything else.
bool ParseRole(const std::string& text, UserRole& role);

class UserDirectory {
public:
    explicit UserDirectory(std::string path);
    const std::string& Path() const { return path_; }

    enum class Verdict { Accepted, Refused, Unavailable };
    // A user name and password: Accepted with the user's role, Refused for
    // an unknown user or a wrong password (both cost the same time),
    // Unavailable when the file cannot be read.
    Verdict Check(const std::string& name, const std::string& password, UserRole& role);

    // Adds a user or replaces one (new password and role); the file is
    // written whole, readable by its owner only.
    static bool Add(const std::string& path, const std::string& name, const std::string& password, UserRole role,
                    std::string& error);
    // Names are 1 to 64 bytes of UTF-8 without control characters.
    static bool ValidName(const std::string& name);

private:
    struct Entry {
        UserRole role = UserRole::Read;
        std::string hash;
    };
    // Reads the file when it changed since the last time.
    bool refresh();
    static bool parse(const std::string& text, std::map<std::string, Entry>& users);

    std::string path_;
    std::map<std::string, Entry> users_;
    bool loaded_ = false;
    std::int64_t stamp_ = -1; // modification time (ns) and size of the file last read
    std::int64_t size_ = -1;
    std::string decoy_;       // a hash to check unknown users against
};

} // namespace ua
