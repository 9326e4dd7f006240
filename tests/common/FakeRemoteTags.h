#pragma once
// Stands in for another OPC server's tags behind the remote tag library's
// three functions, for tests of the link engine alone. Safe for calls from
// several threads.
#include "Variant.h"
#include "opcDAHeader.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class FakeRemoteTags {
public:
    static FakeRemoteTags& Instance()
    {
        static FakeRemoteTags tags;
        return tags;
    }

    void Reset()
    {
        std::lock_guard lock(m_);
        values_.clear();
        failing_.clear();
        writes_.clear();
        reads_ = 0;
        held_.clear();
        heldReaders_ = 0;
    }
    // Reads of name wait (as the reads of a hung server do) until Release.
    void Hold(const std::string& name)
    {
        std::lock_guard lock(m_);
        held_.insert(name);
    }
    void Release()
    {
        std::lock_guard lock(m_);
        held_.clear();
        released_.notify_all();
    }
    int HeldReaders()
    {
        std::lock_guard lock(m_);
        return heldReaders_;
    }
    void Set(const std::string& name, const Variant& v)
    {
        std::lock_guard lock(m_);
        values_[name] = v;
    }
    Variant Get(const std::string& name)
    {
        std::lock_guard lock(m_);
        return values_[name];
    }
    bool Has(const std::string& name)
    {
        std::lock_guard lock(m_);
        return values_.count(name) != 0;
    }
    void Fail(const std::string& name)
    {
        std::lock_guard lock(m_);
        failing_.insert(name);
    }
    std::vector<std::string> Writes()
    {
        std::lock_guard lock(m_);
        return writes_;
    }
    int Reads()
    {
        std::lock_guard lock(m_);
        return reads_;
    }

    static void Attach(RemoteTagLibrary& lib) { lib.Attach(&InitFn, &ReadFn, &WriteFn); }

private:
    static void InitFn(void*, const char*) {}
    static bool ReadFn(const char* name, VARIANT* value)
    {
        auto& t = Instance();
        std::unique_lock lock(t.m_);
        ++t.reads_;
        if (t.held_.count(name)) {
            ++t.heldReaders_;
            t.released_.wait(lock, [&] { return t.held_.count(name) == 0; });
            --t.heldReaders_;
        }
        if (t.failing_.count(name))
            return false;
        auto it = t.values_.find(name);
        if (it != t.values_.end())
            VariantCopy(value, it->second.get());
        return true;
    }
    static bool WriteFn(const char* name, const VARIANT* value)
    {
        auto& t = Instance();
        std::lock_guard lock(t.m_);
        if (t.failing_.count(name))
            return false;
        VariantCopy(t.values_[name].get(), value);
        t.writes_.push_back(name);
        return true;
    }

    std::mutex m_;
    std::condition_variable released_;
    std::map<std::string, Variant> values_;
    std::set<std::string> failing_;
    std::set<std::string> held_;
    int heldReaders_ = 0;
    std::vector<std::string> writes_;
    int reads_ = 0;
};
