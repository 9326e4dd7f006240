#pragma once
// The client side of the marshaling layer: creates OPC server objects in
// other processes over D-Bus and hands out proxies with the COM-shaped
// interfaces of OPCDA.h, so that a client program reads like an OPC DA
// client:
//
//   IOPCServer* server = nullptr;
//   opcclient::CreateInstanceByProgId("QuorbelLinvaro.DA2.1", IID_IOPCServer, (void**)&server);
//   server->AddGroup(L"g", TRUE, 1000, 1, nullptr, nullptr, 0, &hGroup, &rate, IID_IOPCItemMgt, &unk);
//   ...
//
// Proxies: one proxy object per remote object (per path), whose identity
// (QueryInterface for IUnknown) is stable; each interface it answers is a
// part of it that shares its reference count. A proxy holds exactly one
// reference on its remote object and gives it back with opc.IUnknown.Release
// (sent without waiting) when its last local reference goes. Out-parameters
// come from the task allocator as COM's would (CoTaskMemFree them; VARIANTs
// with VariantClear first). A null out-pointer gives E_POINTER and nothing is
// sent.
//
// Sinks: a local sink (IOPCDataCallback or IOPCShutdown) passed to
// IConnectionPoint::Advise is exported on the client's connection under
// "/sink/<n>", callable only by the server it was given to, and released when
// that server releases it or leaves the bus. Its methods run on the thread
// that called Advise, from that thread's event loop.
//
// Calls block the calling thread while running a local event loop (as a COM
// single-threaded apartment pumps messages while it waits), so callbacks can
// reach the client's sinks during a call. The calling thread needs a
// QCoreApplication. One thread only: the library keeps its proxies in
// tables without locks (the main thread, or a thread that does all calls).
//
// Transport failures map to HRESULTs: an object the server no longer has
// gives RPC_E_DISCONNECTED; a server that left the bus or does not answer
// within the call time-out (default kCallTimeoutMs) gives RPC_S_SERVER_UNAVAILABLE; a reply that does not
// match the interface description gives RPC_E_INVALID_DATA.
#include "OPCDA.h"

#include <QDBusConnection>

#include <string>

namespace opcclient {

inline constexpr HRESULT RPC_E_DISCONNECTED_CODE = hr(0x80010108);
inline constexpr HRESULT RPC_S_SERVER_UNAVAILABLE_CODE = hr(0x800706BA);
inline constexpr HRESULT RPC_E_INVALID_DATA_CODE = hr(0x8001010F);
inline constexpr int kCallTimeoutMs = 30000;

// The longest a call waits for its reply. Programs that must not stall on a
// hung server (the remote tag library) shorten it.
void SetCallTimeoutMs(int ms);
int CallTimeoutMs();

// The connection the library uses (default: the session bus). Set it
// before the first call; proxies made earlier keep theirs.
void SetConnection(const QDBusConnection& connection);
QDBusConnection Connection();

// CoCreateInstance for a class served on the bus (starting it by D-Bus
// activation when needed). REGDB_E_CLASSNOTREG when no program serves the
// class; the server's own HRESULT otherwise.
HRESULT CreateInstance(REFCLSID clsid, REFIID riid, void** ppv);
// The same by ProgID, resolved through the registry store as
// CLSIDFromProgID does; CO_E_CLASSSTRING for an unknown ProgID.
HRESULT CreateInstanceByProgId(const std::string& progId, REFIID riid, void** ppv);

// For tests: proxies and exported sinks alive in this process.
int LiveProxies();
int ExportedSinks();

} // namespace opcclient
