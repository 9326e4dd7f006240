#include "Users.h"

#include "Pki.h"

#include <sodium.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

namespace ua {

namespace {

bool SodiumReady()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = sodium_init() >= 0; });
    return ready;
}

std::string Hash(const std::string& password)
{
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return {};
    return out;
}

} // namespace

const char* RoleName(UserRole role) { return role == UserRole::ReadWrite ? "write" : "read"; }

bool ParseRole(const std::string& text, UserRole& role)
{
    if (text == "read")
        role = UserRole::Read;
    else if (text == "write")
        role = UserRole::ReadWrite;
    else
        return false;
    return true;
}

UserDirectory::UserDirectory(std::string path) : path_(std::move(path)) {}

bool UserDirectory::ValidName(const std::string& name)
{
    if (name.empty() || name.size() > 64)
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f)
            return false;
    return true;
}

bool UserDirectory::parse(const std::string& text, std::map<std::string, Entry>& users)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t a = line.find('\t');
        const std::size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b == std::string::npos)
            continue; // not a user line: skipped, the others count
        Entry e;
        const std::string name = line.substr(0, a);
        if (!ValidName(name) || !ParseRole(line.substr(a + 1, b - a - 1), e.role))
            continue;
        e.hash = line.substr(b + 1);
        users[name] = e;
    }
    return true;
}

bool UserDirectory::refresh()
{
    struct stat st{};
    if (::stat(path_.c_str(), &st) != 0) {
        // No file: no users (not a fault; anonymous access may still be on).
        users_.clear();
        loaded_ = errno == ENOENT;
        stamp_ = size_ = -1;
        return loaded_;
    }
    const std::int64_t stamp = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    if (loaded_ && stamp == stamp_ && st.st_size == size_)
        return true;
    std::ifstream file(path_, std::ios::binary);
    if (!file) {
        loaded_ = false;
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    users_.clear();
    parse(text, users_);
    stamp_ = stamp;
    size_ = st.st_size;
    loaded_ = true;
    return true;
}

UserDirectory::Verdict UserDirectory::Check(const std::string& name, const std::string& password, UserRole& role)
{
    if (!SodiumReady() || !refresh())
        return Verdict::Unavailable;
    const auto it = users_.find(name);
    if (it == users_.end()) {
        // The same work as for a user who exists, so that the time taken
        // does not tell which names do.
        if (decoy_.empty())
            decoy_ = Hash("linvaro decoy password");
        if (!decoy_.empty() && crypto_pwhash_str_verify(decoy_.c_str(), password.data(), password.size()) == 0)
            return Verdict::Refused; // whatever it matched, there is no such user
        return Verdict::Refused;
    }
    if (crypto_pwhash_str_verify(it->second.hash.c_str(), password.data(), password.size()) != 0)
        return Verdict::Refused;
    role = it->second.role;
    return Verdict::Accepted;
}

bool UserDirectory::Add(const std::string& path, const std::string& name, const std::string& password, UserRole role,
                        std::string& error)
{
    if (!ValidName(name)) {
        error = "a user name is 1 to 64 characters without tabs or other control characters";
        return false;
    }
    if (password.empty()) {
        error = "an empty password is not allowed";
        return false;
    }
    if (!SodiumReady()) {
        error = "libsodium cannot start";
        return false;
    }
    std::map<std::string, Entry> users;
    {
        std::ifstream file(path, std::ios::binary);
        if (file) {
            const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            parse(text, users);
        } else if (::access(path.c_str(), F_OK) == 0) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    Entry& e = users[name];
    e.role = role;
    e.hash = Hash(password);
    if (e.hash.empty()) {
        error = "the password cannot be hashed (out of memory?)";
        return false;
    }
    std::string text = "# OPC UA users of linvaro: NAME<TAB>read|write<TAB>password hash. Written by linvaro --add-ua-user.\n";
    for (const auto& [n, entry] : users)
        text += n + "\t" + RoleName(entry.role) + "\t" + entry.hash + "\n";

    return WriteFileWhole(path, text, 0600, error);
}

} // namespace ua
