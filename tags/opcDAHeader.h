#pragma once
// The remote tag library "opcDataAccess": reads and writes tags of another OPC
// server by item ID. Loaded by base name from the program folder; its three
// functions are looked up by exported name. Calls may come from the main
// thread and from every link's worker thread at the same time.
#include "Variant.h"

#include <functional>
#include <memory>
#include <string>

extern "C" {
// Called once, before any read or write: application object (opaque) and the
// ProgID of the remote OPC server.
typedef void (*TInitOPCDataAccessDLL)(void* application, const char* serverName);
// Reads the tag's current value into *value (replacing what it held); false
// when the read failed, and then *value is unchanged.
typedef bool (*TReadTag)(const char* tagName, VARIANT* value);
// Writes *value to the tag; true when it was written.
typedef bool (*TWriteTag)(const char* tagName, const VARIANT* value);
}

// The program's side of the remote tag library. The library stays loaded until
// this object goes. While it is not loaded (or not initialised) reads and
// writes fail; an exception escaping the library becomes a failure too.
class RemoteTagLibrary {
public:
    static constexpr const char* kFileName = "opcDataAccess.so";

    RemoteTagLibrary();
    ~RemoteTagLibrary();

    // Loads folder + kFileName; a library that is missing or lacks one of the
    // functions is reported as its file name + " not loaded!".
    bool Load(const std::string& folder, const std::function<void(const std::string&)>& report);
    bool Loaded() const { return init_ && read_ && write_; }

    // For tests and for a library linked in: use these functions instead.
    void Attach(TInitOPCDataAccessDLL init, TReadTag read, TWriteTag write);

    void Init(void* application, const std::string& serverName);
    bool ReadTag(const std::string& tagName, VARIANT* value);
    bool WriteTag(const std::string& tagName, const VARIANT* value);

private:
    struct Library;
    std::unique_ptr<Library> library_;
    TInitOPCDataAccessDLL init_ = nullptr;
    TReadTag read_ = nullptr;
    TWriteTag write_ = nullptr;
};
