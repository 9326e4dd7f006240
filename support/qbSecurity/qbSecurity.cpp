// Security support library: the settings password is stored encrypted with
// crypto_secretbox (XSalsa20-Poly1305) under a per-user random key.
//
// Stored form: base64 (original alphabet, padded) of nonce || ciphertext,
// which fits an INI value. The nonce is random per call, so equal passwords
// give different texts. The key file is $XDG_CONFIG_HOME/linvaro/secret.key
// (else ~/.config/linvaro/secret.key): exactly crypto_secretbox_KEYBYTES
// random bytes, mode 0600. It is read on every call (the calls are rare), so
// nothing secret stays in memory between calls.
#include "qbScHeader.h"

#include <sodium.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#define QB_EXPORT __attribute__((visibility("default")))

namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    bool close()
    {
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0;
    }
private:
    int fd_;
};

// The key, wiped when it goes out of scope.
struct Key {
    unsigned char bytes[crypto_secretbox_KEYBYTES];
    Key() = default;
    ~Key() { sodium_memzero(bytes, sizeof bytes); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
};

bool sodiumReady()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = sodium_init() >= 0; });
    return ready;
}

std::string keyFolder()
{
    // XDG: a relative XDG_CONFIG_HOME is invalid and ignored.
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        return std::string(xdg) + "/linvaro";
    const char* home = std::getenv("HOME");
    std::string homeDir = home && home[0] == '/' ? home : "";
    if (homeDir.empty()) {
        struct passwd pw {};
        struct passwd* found = nullptr;
        std::vector<char> buf(16384);
        if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && pw.pw_dir &&
            pw.pw_dir[0] == '/')
            homeDir = pw.pw_dir;
    }
    if (homeDir.empty())
        return "";
    return homeDir + "/.config/linvaro";
}

void makeFolders(const std::string& folder)
{
    for (size_t pos = 1; pos <= folder.size(); ++pos) {
        if (pos == folder.size() || folder[pos] == '/')
            ::mkdir(folder.substr(0, pos).c_str(), 0700);
    }
}

bool readExact(int fd, unsigned char* out, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, out + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool writeExact(int fd, const unsigned char* data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads an existing key file. A file of any other size than a key is not a
// key: it is refused, never padded or cut.
enum class ReadResult { Ok, Missing, Bad };
ReadResult readKey(const std::string& path, Key& key)
{
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid())
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Bad;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size != static_cast<off_t>(crypto_secretbox_KEYBYTES))
        return ReadResult::Bad;
    return readExact(fd.get(), key.bytes, sizeof key.bytes) ? ReadResult::Ok : ReadResult::Bad;
}

// Creates the key file with a fresh key. The key is written to a private
// temporary file (O_EXCL, mode 0600), flushed, and only then linked into
// place, so no process ever sees a half-written key file. When another
// process won the race, its key is the one used.
bool createKey(const std::string& folder, const std::string& path, Key& key)
{
    makeFolders(folder);
    crypto_secretbox_keygen(key.bytes);
    const std::string temp = path + "." + std::to_string(::getpid()) + ".new";
    ::unlink(temp.c_str()); // a leftover of an earlier crash of this pid
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600));
    if (!fd.valid())
        return false;
    const bool written = ::fchmod(fd.get(), 0600) == 0 && writeExact(fd.get(), key.bytes, sizeof key.bytes) &&
                         ::fsync(fd.get()) == 0;
    const bool closed = fd.close();
    bool linked = false;
    int linkErrno = 0;
    if (written && closed) {
        linked = ::link(temp.c_str(), path.c_str()) == 0;
        linkErrno = errno;
    }
    ::unlink(temp.c_str());
    if (linked) {
        Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.valid())
            ::fsync(dir.get());
        return true;
    }
    if (linkErrno == EEXIST)
        return readKey(path, key) == ReadResult::Ok;
    return false;
}

std::mutex g_keyLock;

// Loads this user's key, creating it on first use. Other processes are kept
// apart by the link in createKey, threads of this one by the lock (they
// would share the temporary file name).
bool loadKey(Key& key)
{
    std::lock_guard<std::mutex> guard(g_keyLock);
    const std::string folder = keyFolder();
    if (folder.empty())
        return false;
    const std::string path = folder + "/secret.key";
    switch (readKey(path, key)) {
    case ReadResult::Ok: return true;
    case ReadResult::Bad: return false;
    case ReadResult::Missing: return createKey(folder, path, key);
    }
    return false;
}

// Replaces a result buffer's text, wiping what it held before.
void setResult(std::string& buffer, const char* data, size_t size)
{
    sodium_memzero(buffer.data(), buffer.size());
    buffer.assign(data, size);
}

std::string encrypt(const std::string& plain)
{
    Key key;
    if (!sodiumReady() || !loadKey(key))
        return "";
    std::vector<unsigned char> box(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + plain.size());
    unsigned char* nonce = box.data();
    randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(nonce + crypto_secretbox_NONCEBYTES, reinterpret_cast<const unsigned char*>(plain.data()),
                          plain.size(), nonce, key.bytes);
    std::string text(sodium_base64_encoded_len(box.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), box.data(), box.size(), sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1); // the terminating NUL
    return text;
}

// Plain text, or nullopt for anything that Encrypt with this key did not make.
std::optional<std::string> decrypt(const std::string& text)
{
    if (text.empty() || !sodiumReady())
        return std::nullopt;
    std::vector<unsigned char> box(text.size() / 4 * 3 + 3);
    size_t boxSize = 0;
    const char* end = nullptr;
    if (sodium_base642bin(box.data(), box.size(), text.data(), text.size(), nullptr, &boxSize, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size())
        return std::nullopt;
    if (boxSize < crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES)
        return std::nullopt;
    Key key;
    if (!loadKey(key))
        return std::nullopt;
    const unsigned char* nonce = box.data();
    const unsigned char* cipher = nonce + crypto_secretbox_NONCEBYTES;
    const size_t cipherSize = boxSize - crypto_secretbox_NONCEBYTES;
    std::string plain(cipherSize - crypto_secretbox_MACBYTES, '\0');
    if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(plain.data()), cipher, cipherSize, nonce,
                                   key.bytes) != 0)
        return std::nullopt;
    return plain;
}

} // namespace

extern "C" {

QB_EXPORT const char* Encrypt(const char* plain)
{
    thread_local std::string result;
    try {
        const std::string text = encrypt(plain ? plain : "");
        setResult(result, text.data(), text.size());
    } catch (...) {
        setResult(result, "", 0);
    }
    return result.c_str();
}

QB_EXPORT const char* Decrypt(const char* cipher)
{
    thread_local std::string result;
    try {
        std::optional<std::string> plain = decrypt(cipher ? cipher : "");
        if (plain) {
            setResult(result, plain->data(), plain->size());
            sodium_memzero(plain->data(), plain->size());
        } else {
            setResult(result, "", 0);
        }
    } catch (...) {
        setResult(result, "", 0);
    }
    return result.c_str();
}

} // extern "C"
