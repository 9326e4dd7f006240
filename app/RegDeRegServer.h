#pragma once
// How the program makes itself known as a local OPC DA 2.0 server: the start
// mode from the COM switches, the framework registration of the class table
// (classes, ProgIDs, the type library), the D-Bus activation file that goes
// with every LocalServer32 entry, and the OPC-specific keys and category that
// the console's Register and Unregister write and remove.
//
// Everything works on the registry store (registry::Root()) and on the
// session bus's service folder $XDG_DATA_HOME/dbus-1/services. Main thread.
//
// Only classes the program serves on the bus get an activation file (DA2):
// the group and enumerator classes are made by the server itself, so a
// client that asks the bus for one of them gets "no such service" at once
// (REGDB_E_CLASSNOTREG in the client library) instead of a copy started for
// nothing. The activation file starts the program with the home folder it
// was registered with.
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
inline constexpr const char* kRegistryRemoveError = "Error removing system registry entry";

// A copy the bus started (-Embedding) for which no client made a server
// object within this time (the bus started it for an introspection, a ping
// or a stale proxy) ends, so that it does not hold the single instance.
inline constexpr int kBusStartGraceMs = 10000;

// One COM class of the program.
struct ComClass {
    const char* className;
    CLSID clsid;
    const char* progId;
    const char* description;
    bool inTypeLibrary; // described by the type library: Version and TypeLib keys
    bool servedOnBus;   // a client can create it through the bus: it has an activation file
};
// DA2, OPCGroup, TOPCStringsEnumerator, TMRDUnknownEnumerator,
// TOPCItemAttEnumerator, in registration order.
const std::vector<ComClass>& ClassTable();

// The type library.
inline constexpr GUID LIBID_Linvaro = MakeGuid(0x33574FF1, 0xC77D, 0x4921, 0xA9, 0x7E, 0x50, 0x7C, 0x1E, 0xE2, 0x27, 0x71);
inline constexpr IID IID_IDA2 = MakeGuid(0xAB4DE784, 0x8C77, 0x49D6, 0xB5, 0xF9, 0x36, 0x25, 0xC9, 0x2B, 0xC7, 0xEA);
inline constexpr const char* kTypeLibVersion = "2.0";

// --- The D-Bus activation of a class: the bus name a client asks for, and
// the service file that makes the bus start this program with -Embedding
// (and --home HOME when home is not empty).
std::string ActivationBusName(REFCLSID clsid); // opc.clsid._6E39D8AB_9993_...
bool ServedOnBus(REFCLSID clsid);
// $XDG_DATA_HOME/dbus-1/services; "" (and the path "") without a per-user
// data folder (UserFolders.h).
std::string ActivationFolder();
std::string ActivationFilePath(REFCLSID clsid);
std::string ActivationFileContent(REFCLSID clsid, const std::string& programPath, const std::string& home = {});
// The LocalServer32 value for a program path: quoted when it holds a blank,
// so that the path stays one word of the command line.
std::string LocalServerCommand(const std::string& programPath);

// CLSID\{clsid}\LocalServer32 and, for a class served on the bus, its
// activation file, both or neither: when the file cannot be written the key
// is taken back. For any other class an activation file left there is
// removed (false when it cannot be).
bool SetLocalServer32(REFCLSID clsid, const std::string& programPath, const std::string& home = {});
// Removes the key, then the activation file; false when the key or the file
// stays (the file stays whenever the key does).
bool DeleteLocalServer32(REFCLSID clsid);

// --- Framework registration (rewritten at every normal start).
// Writes the type library and every class of the table; stops at the first
// key that cannot be written and returns false. home: the --home folder of
// this start, carried by the activation file ("" for the program folder).
bool WriteFrameworkRegistration(const std::string& programPath, const std::string& home = {});
// Removes it in the reverse order of the keys, trying every key; false when
// any key or activation file could not be removed (a key that stays only
// because other entries live below it is no failure).
bool RemoveFrameworkRegistration();

// The start-up work: in register mode false means the process ends with
// kRegistryWriteError, in unregister mode with kRegistryRemoveError; in the
// other modes a failure is ignored and true is returned.
bool RunStartupWork(StartMode mode, const std::string& programPath, const std::string& home = {});

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
