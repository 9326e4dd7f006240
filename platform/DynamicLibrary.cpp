#include "DynamicLibrary.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

DynamicLibrary::~DynamicLibrary() { close(); }

bool DynamicLibrary::open(const std::string& path)
{
    close();
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* e = dlerror();
        error_ = e ? e : "dlopen failed";
        return false;
    }
    error_.clear();
    return true;
}

void DynamicLibrary::close()
{
    if (handle_) {
        dlclose(handle_);
        handle_ = nullptr;
    }
}

void* DynamicLibrary::symbol(const char* name) const
{
    return handle_ ? dlsym(handle_, name) : nullptr;
}

std::string ProgramFolder()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "./";
    std::string path(buf, static_cast<size_t>(n));
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}
