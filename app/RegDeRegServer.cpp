#include "RegDeRegServer.h"

#include "ComCat.h"
#include "OPCDA.h"
#include "OpcContext.h"
#include "RegistryStore.h"
#include "ServIMPL.h"
#include "UserFolders.h"

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

// Deletes a key. True when it is gone (also when it never was) and when it
// stays only because other entries live below it, as RegDeleteKey leaves
// such a key (the class key after the console's Register); false when the
// store refused the change.
bool Remove(const std::string& key)
{
    return registry::DeleteKey(key) || !registry::KeyExists(key) || !registry::SubKeys(key).empty();
}

bool RemoveTypeLibrary()
{
    const std::string lib = "TypeLib\\" + GuidToString(LIBID_Linvaro);
    const std::string ver = lib + "\\" + kTypeLibVersion;
    const std::string iface = "Interface\\" + GuidToString(IID_IDA2);
    bool ok = true;
    for (const std::string& key : {iface + "\\TypeLib", iface, ver + "\\HELPDIR", ver + "\\FLAGS", ver + "\\0\\linux",
                                   ver + "\\0", ver, lib})
        ok = Remove(key) && ok;
    return ok;
}

bool RemoveFile(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove(path, ec);
    return !ec;
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
        {"DA2", CLSID_DA2, "Linvaro.DA2", "Quorbel DA Object", true, true},
        {"OPCGroup", CLSID_OPCGroup, "Linvaro.OPCGroup", "OPCGroup Object", true, false},
        {"TOPCStringsEnumerator", CLSID_OPCEnumerators, "Linvaro.TOPCStringsEnumerator", "QuorbelLinvaro", false, false},
        {"TMRDUnknownEnumerator", CLSID_OPCEnumerators, "Linvaro.TMRDUnknownEnumerator", "QuorbelLinvaro", false, false},
        {"TOPCItemAttEnumerator", kItemAttEnumeratorClass, "Linvaro.TOPCItemAttEnumerator", "QuorbelLinvaro", false,
         false},
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

bool ServedOnBus(REFCLSID clsid)
{
    for (const ComClass& c : ClassTable())
        if (c.servedOnBus && c.clsid == clsid)
            return true;
    return false;
}

std::string ActivationFolder()
{
    const std::string data = userfolders::DataHome();
    return data.empty() ? std::string() : data + "/dbus-1/services";
}

std::string ActivationFilePath(REFCLSID clsid)
{
    const std::string folder = ActivationFolder();
    return folder.empty() ? std::string() : folder + "/" + ActivationBusName(clsid) + ".service";
}

std::string ActivationFileContent(REFCLSID clsid, const std::string& programPath, const std::string& home)
{
    std::string exec = ExecWord(programPath) + " -Embedding";
    if (!home.empty())
        exec += " --home " + ExecWord(home);
    return "[D-BUS Service]\nName=" + ActivationBusName(clsid) + "\nExec=" + exec + "\n";
}

std::string LocalServerCommand(const std::string& programPath)
{
    return programPath.find(' ') == std::string::npos ? programPath : "\"" + programPath + "\"";
}

bool SetLocalServer32(REFCLSID clsid, const std::string& programPath, const std::string& home)
{
    const std::string key = ClassKey(clsid) + "\\LocalServer32";
    const std::string file = ActivationFilePath(clsid);
    if (file.empty())
        return false;
    if (!ServedOnBus(clsid)) {
        // The bus must not start the program for a class it cannot create
        // (the client would wait for the bus's time-out and leave a stray
        // copy behind): a file an earlier version wrote goes.
        return RemoveFile(file) && registry::SetDefault(key, LocalServerCommand(programPath));
    }
    if (!registry::SetDefault(key, LocalServerCommand(programPath)))
        return false;
    std::error_code ec;
    std::filesystem::create_directories(ActivationFolder(), ec);
    if (ec || !registry::WriteFileAtomic(file, ActivationFileContent(clsid, programPath, home))) {
        // A class the bus cannot start must not look registered.
        registry::DeleteKey(key);
        return false;
    }
    return true;
}

bool DeleteLocalServer32(REFCLSID clsid)
{
    // The activation file goes only with its entry, so that a store that
    // cannot be changed keeps a registration the bus can still start.
    if (!Remove(ClassKey(clsid) + "\\LocalServer32"))
        return false;
    const std::string file = ActivationFilePath(clsid);
    return !file.empty() && RemoveFile(file);
}

// ------------------------------------------------------- framework registration

bool WriteFrameworkRegistration(const std::string& programPath, const std::string& home)
{
    for (const auto& [key, value] : TypeLibraryKeys(programPath))
        if (!registry::SetDefault(key, value))
            return false;
    for (const ComClass& c : ClassTable()) {
        const std::string cls = ClassKey(c.clsid);
        const std::string progId = c.progId;
        if (!registry::SetDefault(cls, c.description) || !SetLocalServer32(c.clsid, programPath, home) ||
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

bool RemoveFrameworkRegistration()
{
    bool ok = RemoveTypeLibrary();
    for (const ComClass& c : ClassTable()) {
        const std::string cls = ClassKey(c.clsid);
        const std::string progId = c.progId;
        if (c.inTypeLibrary) {
            ok = Remove(cls + "\\TypeLib") && ok;
            ok = Remove(cls + "\\Version") && ok;
        }
        ok = Remove(cls + "\\ProgID") && ok;
        ok = Remove(progId + "\\Clsid") && ok;
        ok = Remove(progId) && ok;
        ok = DeleteLocalServer32(c.clsid) && ok;
        ok = Remove(cls) && ok;
    }
    return ok;
}

bool RunStartupWork(StartMode mode, const std::string& programPath, const std::string& home)
{
    switch (mode) {
    case StartMode::UnregServer:
        return RemoveFrameworkRegistration();
    case StartMode::RegServer:
        return WriteFrameworkRegistration(programPath, home);
    case StartMode::Normal:
    case StartMode::Automation:
        // A user without the right to write the store can still run the
        // program.
        WriteFrameworkRegistration(programPath, home);
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
