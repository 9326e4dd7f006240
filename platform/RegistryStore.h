#pragma once
// The registry store: the program's stand-in for the Windows registry keys it
// writes (class registrations, ProgIDs, OPC keys, component categories).
// Readable by other processes: keys are folders below the root, a key's
// default value is the file "@" in its folder (text, UTF-8), written
// atomically. Key paths use "\" as on Windows ("CLSID\{...}\ProgID").
//
// Root: $LINVARO_REGISTRY_ROOT when set (tests), else
// $XDG_DATA_HOME/linvaro/registry (default ~/.local/share/linvaro/registry),
// standing for HKEY_CLASSES_ROOT. Without a usable per-user data folder
// (UserFolders.h) the root is "" and every call fails or finds nothing.
//
// A value is read only from a regular file, opened without waiting: a FIFO
// or a device in its place reads as a key without a value.
//
// Key names compare without regard to ASCII letter case, as on Windows
// ("ProgID\CLSID" and "ProgID\Clsid" are one key); a new key keeps the case
// it was created with. A key path whose parts are empty, ".", "..", start
// with "@" (the store's own files) or contain "/" is refused by every call,
// and folders that are symbolic links are not followed, so no key reaches
// outside the root. A failed SetDefault leaves no half-written value and
// removes the folders it created.
#include "Guid.h"

#include <optional>
#include <string>
#include <vector>

namespace registry {

std::string Root();

// Creates the key (and its parents) and sets its default value.
bool SetDefault(const std::string& key, const std::string& value);
// The default value; nullopt when the key does not exist; "" for a key
// without a value.
std::optional<std::string> GetDefault(const std::string& key);
bool KeyExists(const std::string& key);
// Creates the key (and parents) without a value.
bool CreateKey(const std::string& key);
// Deletes a key that has no subkeys (as RegDeleteKey); false otherwise.
bool DeleteKey(const std::string& key);
// Names of the direct subkeys, sorted.
std::vector<std::string> SubKeys(const std::string& key);

// ProgID -> class ID through "ProgID\CLSID" (or "ProgID\Clsid"), as
// CLSIDFromProgID does; nullopt when not registered.
std::optional<GUID> ClsidFromProgId(const std::string& progId);
// Class ID -> ProgID through "CLSID\{...}\ProgID".
std::optional<std::string> ProgIdFromClsid(REFCLSID clsid);

// Component categories: "Component Categories\{catid}" holds the
// description (value "409" in the Windows layout; here the default value);
// "CLSID\{clsid}\Implemented Categories\{catid}" marks a class.
bool RegisterCategory(REFGUID catid, const std::string& description);
bool RegisterClassImplCategory(REFCLSID clsid, REFGUID catid);
bool UnRegisterClassImplCategory(REFCLSID clsid, REFGUID catid);
// Classes that implement catid.
std::vector<CLSID> ClassesOfCategory(REFGUID catid);

// Writes content to path through a temporary file in the same folder and a
// rename, so a reader sees the old file or the new one, never a part. The
// folder must exist. Mode 0644: other processes read what we write.
bool WriteFileAtomic(const std::string& path, const std::string& content);

} // namespace registry
