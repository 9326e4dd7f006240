#include "RegDeRegServer.h"

#include "ComCat.h"
#include "OPCDA.h"
#include "OpcContext.h"
#include "RegistryStore.h"
#include "ServIMPL.h"

#include <cstdlib>
#include <filesystem>
#include <strings.h>
#include <utility>

namespace comserver {

namespace {

// The class under which the item attribute enumerator is registered.
constexpr CLSID kItemAttEnumeratorClass = IID_IEnumOPCItemAttributes;

std::string ClassKey(REFCLSID clsid) { return "CLSID\\" + GuidToString(clsid); }

bool IsSwitch(const std::string& arg, const char* word)
{
    return arg.size() > 1 && (arg[0] == '-' || arg[0] == '/') && strcasecmp(arg.c_str() + 1, word) == 0;
}

bool AnySwitch(const std::vector<std::string>& args, const char* word)
{
    for (const std::string& a : args)
        if (IsSwitch(a, word))
            return true;
    return false;
}

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A word of a service file's Exec line: quoted unless it is plainly safe.
std::string ExecWord(const std::string& word)
{
    const bool plain = !word.empty() && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                               "0123456789/._+-,:@%") == std::string::npos;
    if (plain)
        return word;
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The type library's keys, in the order they are written.
std::vector<std::pair<std::string, std::string>> TypeLibraryKeys(const std::string& programPath)
{
    const std::string lib = "TypeLib\\" + GuidToString(LIBID_Linvaro) + "\\" + kTypeLibVersion;
    const std::string iface = "Interface\\" + GuidToString(IID_IDA2);
    return {
        {lib, "Quorbel Linvaro OPC Library"},
        {lib + "\\0\\linux", programPath},
        {lib + "\\FLAGS", "0"},
        {lib + "\\HELPDIR", FolderOf(programPath)},
        {iface, "IDA2"},
        {iface + "\\TypeLib", GuidToString(LIBID_Linvaro)},
    };
}

void RemoveTypeLibrary()
{
    const std::string lib = "TypeLib\\" + GuidToString(LIBID_Linvaro);
    const std::string ver = lib + "\\" + kTypeLibVersion;
    const std::string iface = "Interface\\" + GuidToString(IID_IDA2);
    for (const std::string& key : {iface + "\\TypeLib", iface, ver + "\\HELPDIR", ver + "\\FLAGS", ver + "\\0\\linux",
                                   ver + "\\0", ver, lib})
        registry::DeleteKey(key);
}

} // namespace

StartMode StartModeOf(bool automationOrEmbedding, bool regServer, bool unregServer)
{
    if (automationOrEmbedding)
        return StartMode::Automation;
    if (regServer)
        return StartMode::RegServer;
    if (unregServer)
        return StartMode::UnregServer;
    return StartMode::Normal;
}

StartMode StartModeFromArgs(const std::vector<std::string>& args)
{
    return StartModeOf(AnySwitch(args, "AUTOMATION") || AnySwitch(args, "EMBEDDING"), AnySwitch(args, "REGSERVER"),
                       AnySwitch(args, "UNREGSERVER"));
}

const std::vector<ComClass>& ClassTable()
{
    static const std::vector<ComClass> table = {
        {"DA2", CLSID_DA2, "Linvaro.DA2", "Quorbel DA Object", true},
        {"OPCGroup", CLSID_OPCGroup, "Linvaro.OPCGroup", "OPCGroup Object", true},
        {"TOPCStringsEnumerator", CLSID_OPCEnumerators, "Linvaro.TOPCStringsEnumerator", "QuorbelLinvaro", false},
        {"TMRDUnknownEnumerator", CLSID_OPCEnumerators, "Linvaro.TMRDUnknownEnumerator", "QuorbelLinvaro", false},
        {"TOPCItemAttEnumerator", kItemAttEnumeratorClass, "Linvaro.TOPCItemAttEnumerator", "QuorbelLinvaro", false},
    };
    return table;
}

// ------------------------------------------------------------ D-Bus activation

std::string ActivationBusName(REFCLSID clsid)
{
    std::string text = GuidToString(clsid).substr(1, 36);
    for (char& c : text)
        if (c == '-')
            c = '_';
    return "opc.clsid._" + text;
}

std::string ActivationFolder()
{
    std::string data;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && x[0] == '/')
        data = x;
    else if (const char* home = std::getenv("HOME"); home && *home)
        data = std::string(home) + "/.local/share";
    else
        data = "/tmp";
    return data + "/dbus-1/services";
}

std::string ActivationFilePath(REFCLSID clsid) { return ActivationFolder() + "/" + ActivationBusName(clsid) + ".service"; }

std::string ActivationFileContent(REFCLSID clsid, const std::string& programPath)
{
    return "[D-BUS Service]\nName=" + ActivationBusName(clsid) + "\nExec=" + ExecWord(programPath) + " -Embedding\n";
}

std::string LocalServerCommand(const std::string& programPath)
{
    return programPath.find(' ') == std::string::npos ? programPath : "\"" + programPath + "\"";
}

bool SetLocalServer32(REFCLSID clsid, const std::string& programPath)
{
    const std::string key = ClassKey(clsid) + "\\LocalServer32";
    if (!registry::SetDefault(key, LocalServerCommand(programPath)))
        return false;
    std::error_code ec;
    std::filesystem::create_directories(ActivationFolder(), ec);
    if (ec || !registry::WriteFileAtomic(ActivationFilePath(clsid), ActivationFileContent(clsid, programPath))) {
        // A class the bus cannot start must not look registered.
        registry::DeleteKey(key);
        return false;
    }
    return true;
}

void DeleteLocalServer32(REFCLSID clsid)
{
    registry::DeleteKey(ClassKey(clsid) + "\\LocalServer32");
    std::error_code ec;
    std::filesystem::remove(ActivationFilePath(clsid), ec);
}

// ------------------------------------------------------- framework registration

bool WriteFrameworkRegistration(const std::string& programPath)
{
    for (const auto& [key, value] : TypeLibraryKeys(programPath))
        if (!registry::SetDefault(key, value))
            return false;
    for (const ComClass& c : ClassTable()) {
        const std::string cls = ClassKey(c.clsid);
        const std::string progId = c.progId;
        if (!registry::SetDefault(cls, c.description) || !SetLocalServer32(c.clsid, programPath) ||
            !registry::SetDefault(progId, c.description) ||
            !registry::SetDefault(progId + "\\Clsid", GuidToString(c.clsid)) ||
            !registry::SetDefault(cls + "\\ProgID", progId))
            return false;
        if (c.inTypeLibrary && (!registry::SetDefault(cls + "\\Version", kTypeLibVersion) ||
                                !registry::SetDefault(cls + "\\TypeLib", GuidToString(LIBID_Linvaro))))
            return false;
    }
    return true;
}

void RemoveFrameworkRegistration()
{
    RemoveTypeLibrary();
    for (const ComClass& c : ClassTable()) {
        const std::string cls = ClassKey(c.clsid);
        const std::string progId = c.progId;
        if (c.inTypeLibrary) {
            registry::DeleteKey(cls + "\\TypeLib");
            registry::DeleteKey(cls + "\\Version");
        }
        registry::DeleteKey(cls + "\\ProgID");
        registry::DeleteKey(progId + "\\Clsid");
        registry::DeleteKey(progId);
        DeleteLocalServer32(c.clsid);
        registry::DeleteKey(cls);
    }
}

bool RunStartupWork(StartMode mode, const std::string& programPath)
{
    switch (mode) {
    case StartMode::UnregServer:
        RemoveFrameworkRegistration();
        return true;
    case StartMode::RegServer:
        return WriteFrameworkRegistration(programPath);
    case StartMode::Normal:
    case StartMode::Automation:
        // A user without the right to write the store can still run the
        // program.
        WriteFrameworkRegistration(programPath);
        return true;
    }
    return true;
}

void EndWhenLastServerObjectGoes(std::function<void()> end)
{
    OpcContext& context = TheOpcContext();
    context.consoleRefresh = [previous = context.consoleRefresh, end = std::move(end), seen = false]() mutable {
        if (previous)
            previous();
        if (ConnectedServerCount() > 0) {
            seen = true;
        } else if (seen) {
            seen = false;
            end();
        }
    };
}

// ------------------------------------------------------------ OPC registration

bool RegisterOpcServer(std::string& error)
{
    const std::string prog = kOpcProgId;
    const std::string cls = ClassKey(CLSID_DA2);
    const std::pair<std::string, std::string> keys[] = {
        {prog, kOpcProgIdDescription},
        {prog + "\\CLSID", GuidToString(CLSID_DA2)},
        {prog + "\\OPC", ""},
        {prog + "\\OPC\\Vendor", kVendor},
        {cls, kOpcClassDescription},
        {cls + "\\ProgID", prog},
    };
    for (const auto& [key, value] : keys)
        if (!registry::SetDefault(key, value)) {
            error = kRegistryWriteError;
            return false;
        }
    // The category is shared with every OPC DA 2.0 server on the machine;
    // its results decide nothing.
    comcat::CreateComponentCategory(CATID_OPCDAServer20, kOpcClassDescription);
    comcat::RegisterCLSIDInCategory(CLSID_DA2, CATID_OPCDAServer20);
    return true;
}

void UnregisterOpcServer()
{
    const std::string prog = kOpcProgId;
    const std::string cls = ClassKey(CLSID_DA2);
    // The class key normally stays: it still holds the framework's entries.
    for (const std::string& key : {cls + "\\ProgID", cls, prog + "\\CLSID", prog + "\\OPC\\Vendor", prog + "\\OPC", prog})
        registry::DeleteKey(key);
    comcat::UnRegisterCLSIDInCategory(CLSID_DA2, CATID_OPCDAServer20);
}

} // namespace comserver
