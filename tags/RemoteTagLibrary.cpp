#include "opcDAHeader.h"

#include "DynamicLibrary.h"

struct RemoteTagLibrary::Library {
    DynamicLibrary dl;
};

RemoteTagLibrary::RemoteTagLibrary() = default;
RemoteTagLibrary::~RemoteTagLibrary() = default;

bool RemoteTagLibrary::Load(const std::string& folder, const std::function<void(const std::string&)>& report)
{
    auto lib = std::make_unique<Library>();
    TInitOPCDataAccessDLL init = nullptr;
    TReadTag read = nullptr;
    TWriteTag write = nullptr;
    if (!lib->dl.open(folder + kFileName) || !lib->dl.resolve("InitOPCDataAccessDLL", init) ||
        !lib->dl.resolve("ReadTag", read) || !lib->dl.resolve("WriteTag", write)) {
        if (report)
            report(std::string(kFileName) + " not loaded!");
        return false;
    }
    library_ = std::move(lib);
    Attach(init, read, write);
    return true;
}

void RemoteTagLibrary::Attach(TInitOPCDataAccessDLL init, TReadTag read, TWriteTag write)
{
    init_ = init;
    read_ = read;
    write_ = write;
}

void RemoteTagLibrary::Init(void* application, const std::string& serverName)
{
    if (!init_)
        return;
    try {
        init_(application, serverName.c_str());
    } catch (...) {
    }
}

bool RemoteTagLibrary::ReadTag(const std::string& tagName, VARIANT* value)
{
    if (!read_)
        return false;
    try {
        return read_(tagName.c_str(), value);
    } catch (...) {
        return false;
    }
}

bool RemoteTagLibrary::WriteTag(const std::string& tagName, const VARIANT* value)
{
    if (!write_)
        return false;
    try {
        return write_(tagName.c_str(), value);
    } catch (...) {
        return false;
    }
}
