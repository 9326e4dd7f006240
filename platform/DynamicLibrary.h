#pragma once
// A shared library loaded by path (dlopen) and closed when the holder goes.
#include <string>

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Loads path; false (and error() set) when it cannot be loaded.
    bool open(const std::string& path);
    void close();
    bool isOpen() const { return handle_ != nullptr; }
    // Address of an exported symbol, nullptr when it is missing.
    void* symbol(const char* name) const;
    template <typename Fn> bool resolve(const char* name, Fn& out) const {
        out = reinterpret_cast<Fn>(symbol(name));
        return out != nullptr;
    }
    const std::string& error() const { return error_; }
private:
    void* handle_ = nullptr;
    std::string error_;
};

// Folder of the running program file, with a trailing '/'.
std::string ProgramFolder();
