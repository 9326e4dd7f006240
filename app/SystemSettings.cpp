#include "SystemSettings.h"

#include "Autostart.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>

namespace {

constexpr const char* kSystem = "System";
constexpr const char* kSecurity = "Security";

std::string getText(const support::GeneralApi& gn, const char* section, const char* key, const std::string& ini,
                    const char* defaultText)
{
    const char* text = gn.GetInitSettingStr(section, key, ini.c_str(), defaultText);
    return text ? text : "";
}

bool getBool(const support::GeneralApi& gn, const char* section, const char* key, const std::string& ini)
{
    return gn.GetInitSettingBool(section, key, ini.c_str(), false);
}

// Decimal digits with an optional leading minus, nothing around them.
std::optional<int> parseInteger(std::string_view text)
{
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

void readTimeout(const support::GeneralApi& gn, const char* key, const std::string& ini, const char* defaultText,
                 int max, int& value)
{
    if (const auto parsed = parseInteger(getText(gn, kSystem, key, ini, defaultText)))
        value = std::clamp(*parsed, 0, max);
}

} // namespace

void ReadSystemSettings(const support::GeneralApi& gn, const support::SecurityApi& sc, const std::string& iniPath,
                        SystemSettings& s)
{
    readTimeout(gn, "Tag Response Timeout", iniPath, "0", kMaxTagResponseTimeout, s.tagResponseTimeout);
    readTimeout(gn, "Port Response Timeout", iniPath, "5000", kMaxPortResponseTimeout, s.portResponseTimeout);
    s.loadOnWindowsStartup = getBool(gn, kSystem, "Load on Windows startup", iniPath);
    s.logEvent = getBool(gn, kSystem, "Log Event", iniPath);
    s.hideOnStartup = getBool(gn, kSystem, "Load on Startup", iniPath);
    s.enableRemoteOpcServer = getBool(gn, kSystem, "Enable Remote OPC Server", iniPath);
    s.remoteOpcServer = getText(gn, kSystem, "Remote OPC Server", iniPath, "");
    s.protectSettings = getBool(gn, kSecurity, "Protect Settings", iniPath);
    const std::string stored = getText(gn, kSecurity, "Password", iniPath, "");
    const char* plain = sc.Decrypt(stored.c_str());
    s.password = plain ? plain : "";
    // Decrypt gives "" both for the empty password and for a text it cannot
    // open; only the empty password encrypts to a text of that length.
    s.passwordUnreadable = false;
    if (s.password.empty() && !stored.empty()) {
        const char* emptyCipher = sc.Encrypt ? sc.Encrypt("") : nullptr;
        s.passwordUnreadable = !emptyCipher || std::strlen(emptyCipher) != stored.size();
    }
}

bool WriteSystemSettings(const support::GeneralApi& gn, const support::SecurityApi& sc, const std::string& iniPath,
                         const SystemSettings& s, const AutostartCommand& autostart, std::string& error)
{
    error.clear();
    // Each key is a file replacement of its own; a process killed between two
    // of them would leave old and new settings mixed (protection switched on
    // with the old password, say). So the keys go to a copy beside the file,
    // and the copy replaces the file in one rename.
    namespace fs = std::filesystem;
    const std::string staging = iniPath + ".saving";
    std::error_code ec;
    fs::remove(staging, ec); // left behind by a process killed while saving
    if (fs::exists(iniPath, ec) &&
        !fs::copy_file(iniPath, staging, fs::copy_options::overwrite_existing, ec)) {
        error = "Cannot copy " + iniPath + " for saving: " + ec.message();
        fs::remove(staging, ec);
        return false;
    }
    const char* ini = staging.c_str();
    const auto setText = [&](const char* section, const char* key, const std::string& value) {
        gn.SetInitSettingStr(section, key, value.c_str(), ini);
    };
    const auto setBool = [&](const char* section, const char* key, bool value) {
        gn.SetInitSettingBool(section, key, value, ini);
    };

    setText(kSystem, "Tag Response Timeout", std::to_string(s.tagResponseTimeout));
    setText(kSystem, "Port Response Timeout", std::to_string(s.portResponseTimeout));
    setBool(kSystem, "Load on Windows startup", s.loadOnWindowsStartup);
    std::string autostartError;
    if (!SetAutostart(s.loadOnWindowsStartup, autostart, autostartError))
        error = autostartError;
    setBool(kSystem, "Log Event", s.logEvent);
    setBool(kSystem, "Load on Startup", s.hideOnStartup);
    setBool(kSecurity, "Protect Settings", s.protectSettings);
    // Encrypt gives an empty text only when it failed (even an empty password
    // encrypts to a non-empty text). Storing that would silently turn the
    // password into the empty one, so the old value is kept instead.
    // A stored password that could not be read stays until a new one is set.
    if (!s.passwordUnreadable || !s.password.empty()) {
        const char* cipher = sc.Encrypt(s.password.c_str());
        if (cipher && *cipher)
            setText(kSecurity, "Password", cipher);
        else
            error += std::string(error.empty() ? "" : " ") +
                     "The settings password cannot be encrypted; it was not changed.";
    }
    setBool(kSystem, "Enable Remote OPC Server", s.enableRemoteOpcServer);
    setText(kSystem, "Remote OPC Server", s.remoteOpcServer);

    if (std::rename(staging.c_str(), iniPath.c_str()) != 0) {
        error += std::string(error.empty() ? "" : " ") + "Cannot write " + iniPath + ": " + std::strerror(errno) + ".";
        fs::remove(staging, ec);
        return false;
    }
    // Make the rename itself durable; the copy was flushed by its last write.
    const std::string folder = fs::path(iniPath).parent_path().string();
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return error.empty();
}
