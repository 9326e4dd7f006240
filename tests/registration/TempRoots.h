#pragma once
// A registry store root and a data folder (for the bus's service files) of
// their own for each test, removed afterwards, with the environment put back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <vector>
#include <stdlib.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

class TempRoots {
public:
    TempRoots()
    {
        char pattern[] = "/tmp/linvaro-reg-XXXXXX";
        base_ = mkdtemp(pattern);
        save("LINVARO_REGISTRY_ROOT", registry_);
        save("XDG_DATA_HOME", data_);
        setenv("LINVARO_REGISTRY_ROOT", Registry().c_str(), 1);
        setenv("XDG_DATA_HOME", Data().c_str(), 1);
    }
    ~TempRoots()
    {
        restore("LINVARO_REGISTRY_ROOT", registry_);
        restore("XDG_DATA_HOME", data_);
        std::error_code ec;
        std::filesystem::remove_all(base_, ec);
    }
    std::string Base() const { return base_; }
    std::string Registry() const { return base_ + "/registry"; }
    std::string Data() const { return base_ + "/data"; }
    // A regular file: any folder below it cannot be made.
    std::string File() const
    {
        const std::string path = base_ + "/plain-file";
        std::ofstream(path) << "x";
        return path;
    }
    // Every path below the base folder, relative, sorted (a snapshot).
    std::string Tree() const
    {
        std::string out;
        std::vector<std::string> paths;
        for (const auto& e : std::filesystem::recursive_directory_iterator(base_))
            paths.push_back(e.path().string().substr(base_.size()));
        std::sort(paths.begin(), paths.end());
        for (const auto& p : paths) {
            out += p;
            if (std::filesystem::is_regular_file(base_ + p)) {
                std::ifstream in(base_ + p);
                out += "=" + std::string(std::istreambuf_iterator<char>(in), {});
            }
            out += "\n";
        }
        return out;
    }

private:
    static void save(const char* name, std::optional<std::string>& slot)
    {
        if (const char* v = std::getenv(name))
            slot = v;
    }
    static void restore(const char* name, const std::optional<std::string>& slot)
    {
        if (slot)
            setenv(name, slot->c_str(), 1);
        else
            unsetenv(name);
    }
    std::string base_;
    std::optional<std::string> registry_, data_;
};
