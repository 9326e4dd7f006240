#pragma once
// How the program makes itself known as a local OPC DA 2.0 server: the start
// mode from the COM switches, the framework registration of the class table
// (classes, ProgIDs, the type library), the D-Bus activation file that goes
// with every LocalServer32 entry, and the OPC-specific keys and category that
// the console's Register and Unregister write and remove.
//
// Everything works on the registry store (registry::Root()) and on the
// session bus's service folder $XDG_DATA_HOME/dbus-1/services. Main thread.
#include "Guid.h"

#include <functional>
#include <string>
#include <vector>

namespace comserver {

// The start mode, from the switches "-" or "/" + word, any case; the first
// that applies wins: AUTOMATION or EMBEDDING, REGSERVER, UNREGSERVER.
enum class StartMode { Normal, Automation, RegServer, UnregServer };
StartMode StartModeFromArgs(const std::vector<std::string>& args);
StartMode StartModeOf(bool automationOrEmbedding, bool regServer, bool unregServer);
inline bool EndsAfterRegistration(StartMode m) { return m == StartMode::RegServer || m == StartMode::UnregServer; }

inline constexpr const char* kRegistryWriteError = "Error creating system registry entry";

// One COM class of the program.
struct ComClass {
    const char* className;
    CLSID clsid;
    const char* progId;
    const char* description;
    bool inTypeLibrary; // described by the type library: Version and TypeLib keys
};
// DA2, OPCGroup, TOPCStringsEnumerator, TMRDUnknownEnumerator,
// TOPCItemAttEnumerator, in registration order.
const std::vector<ComClass>& ClassTable();

// The type library.
inline constexpr GUID LIBID_Linvaro = MakeGuid(0x33574FF1, 0xC77D, 0x4921, 0xA9, 0x7E, 0x50, 0x7C, 0x1E, 0xE2, 0x27, 0x71);
inline constexpr IID IID_IDA2 = MakeGuid(0xAB4DE784, 0x8C77, 0x49D6, 0xB5, 0xF9, 0x36, 0x25, 0xC9, 0x2B, 0xC7, 0xEA);
inline constexpr const char* kTypeLibVersion = "2.0";

// --- The D-Bus activation of a class: the bus name a client asks for, and
// the service file that makes the bus start this program with -Embedding.
std::string ActivationBusName(REFCLSID clsid); // opc.clsid._6E39D8AB_9993_...
std::string ActivationFolder();                 // $XDG_DATA_HOME/dbus-1/services
std::string ActivationFilePath(REFCLSID clsid);
std::string ActivationFileContent(REFCLSID clsid, const std::string& programPath);
// The LocalServer32 value for a program path: quoted when it holds a blank,
// so that the path stays one word of the command line.
std::string LocalServerCommand(const std::string& programPath);

// CLSID\{clsid}\LocalServer32 and its activation file, both or neither:
// when the file cannot be written the key is taken back.
bool SetLocalServer32(REFCLSID clsid, const std::string& programPath);
// Removes the key and the activation file; failures are ignored.
void DeleteLocalServer32(REFCLSID clsid);

// --- Framework registration (rewritten at every normal start).
// Writes the type library and every class of the table; stops at the first
// key that cannot be written and returns false.
bool WriteFrameworkRegistration(const std::string& programPath);
// Removes it in the reverse order of the keys; failures are ignored (a key
// that still has subkeys stays).
void RemoveFrameworkRegistration();

// The start-up work: in register mode false means the process ends with
// kRegistryWriteError; in the other modes a failure is ignored and true is
// returned.
bool RunStartupWork(StartMode mode, const std::string& programPath);

// In the mode started by COM the process ends when the last server object a
// client created is released: calls end each time the number of live server
// objects falls back to 0 after at least one was made. end runs inside the
// server object's destruction, so it must only schedule the quit (and check
// the count again then). Chained into TheOpcContext().consoleRefresh after
// the hook already there.
void EndWhenLastServerObjectGoes(std::function<void()> end);

// --- OPC-specific registration (the console's Register and Unregister).
inline constexpr const char* kOpcProgId = "QuorbelLinvaro.DA2.1";
inline constexpr const char* kOpcProgIdDescription = "Quorbel Linvaro Data Access Server Version 2.0";
inline constexpr const char* kOpcClassDescription = "Quorbel Linvaro OPC Data Access";
inline constexpr const char* kVendor = "Quorbel";

// The six OPC keys in order, then the category and the class's membership.
// False (error set to the text to show) when a key cannot be written; keys
// written before stay. The category results decide nothing.
bool RegisterOpcServer(std::string& error);
// Deletes the OPC keys (a key that cannot go stays, without a message) and
// the class's membership in CATID_OPCDAServer20.
void UnregisterOpcServer();

} // namespace comserver
