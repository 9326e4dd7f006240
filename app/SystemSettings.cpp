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
#include <vector>

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
    readTimeout(gn, "Log File Size", iniPath, "10", kMaxLogFileSizeMb, s.logFileSizeMb);
    s.portTextEncoding = getText(gn, kSystem, "Port Text Encoding", iniPath, "ISO-8859-1");
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
    const auto addError = [&](const std::string& text) { error += (error.empty() ? "" : " ") + text; };
    // All keys go in one replacement of the file: a process killed while
    // saving never leaves old and new settings mixed (protection switched on
    // with the old password, say).
    std::vector<std::string> sections, keys, values;
    const auto setText = [&](const char* section, const char* key, const std::string& value) {
        sections.emplace_back(section);
        keys.emplace_back(key);
        values.push_back(value);
    };
    const auto setBool = [&](const char* section, const char* key, bool value) { setText(section, key, value ? "1" : "0"); };

    setText(kSystem, "Tag Response Timeout", std::to_string(s.tagResponseTimeout));
    setText(kSystem, "Port Response Timeout", std::to_string(s.portResponseTimeout));
    setBool(kSystem, "Load on Windows startup", s.loadOnWindowsStartup);
    std::string autostartError;
    if (!SetAutostart(s.loadOnWindowsStartup, autostart, autostartError))
        addError(autostartError);
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
            addError("The settings password cannot be encrypted; it was not changed.");
    }
    setBool(kSystem, "Enable Remote OPC Server", s.enableRemoteOpcServer);
    setText(kSystem, "Remote OPC Server", s.remoteOpcServer);

    std::vector<const char*> sectionPtrs, keyPtrs, valuePtrs;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        sectionPtrs.push_back(sections[i].c_str());
        keyPtrs.push_back(keys[i].c_str());
        valuePtrs.push_back(values[i].c_str());
    }
    const char* failure = gn.WriteInitSettings(iniPath.c_str(), sectionPtrs.data(), keyPtrs.data(), valuePtrs.data(),
                                               static_cast<int>(keys.size()));
    if (!failure || *failure) {
        addError("Cannot write " + iniPath + ": " + (failure ? failure : "unknown error") + ".");
        return false;
    }
    return error.empty();
}

serial::ComPortMapping SerialPortMapping(const support::GeneralApi& gn, const std::string& iniPath)
{
    return [gn, iniPath](const std::string& com) -> serial::DeviceMapping {
        using Kind = serial::DeviceMapping::Kind;
        if (const char* problem = gn.IniFileProblem(iniPath.c_str()); problem && *problem)
            return {Kind::Refused, com + " opens no device: the settings file " + problem};
        // A text no INI value can hold tells a missing key from an empty one.
        static constexpr const char* kAbsent = "\n";
        const char* text = gn.GetInitSettingStr("Serial Ports", com.c_str(), iniPath.c_str(), kAbsent);
        const std::string value = text ? text : kAbsent;
        if (value == kAbsent)
            return {};
        if (value.empty())
            return {Kind::Refused, com + " is mapped to an empty device path in [Serial Ports] of " + iniPath +
                                       "; no device is opened."};
        return {Kind::Path, value};
    };
}
