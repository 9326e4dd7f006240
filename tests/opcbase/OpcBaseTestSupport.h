#pragma once
// Helpers of the OPC building-block tests: a fixture that fails a test which
// leaves a task-allocator block, a COM object or a BSTR alive, a client-side
// reader of IEnumString, and a small reference-counted object.
#include "Bstr.h"
#include "ComObject.h"
#include "TaskMem.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class LeakCheckedTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        blocks_ = CoTaskMemLiveBlocks();
        objects_ = ComObject::LiveObjects();
        strings_ = LiveBstrCount();
    }
    void TearDown() override
    {
        CoTaskMemFailAfter(-1);
        EXPECT_EQ(CoTaskMemLiveBlocks(), blocks_) << "task allocator block leaked or freed twice";
        EXPECT_EQ(ComObject::LiveObjects(), objects_) << "COM object leaked";
        EXPECT_EQ(LiveBstrCount(), strings_) << "BSTR leaked";
    }
    long blocksBefore() const { return blocks_; }

private:
    long blocks_ = 0;
    long objects_ = 0;
    std::size_t strings_ = 0;
};

// Reads every text the enumerator still has, one Next(1) at a time, as a
// client does, freeing each string.
inline std::vector<std::string> RemainingTexts(IEnumString* e)
{
    std::vector<std::string> out;
    for (;;) {
        LPOLESTR s = nullptr;
        ULONG fetched = 99;
        const HRESULT hr = e->Next(1, &s, &fetched);
        if (hr != S_OK) {
            EXPECT_EQ(fetched, 0u);
            return out;
        }
        EXPECT_EQ(fetched, 1u);
        out.push_back(AnsiFromWide(s));
        CoTaskMemFree(s);
    }
}

// A plain object whose reference count the tests watch.
class TCounted final : public ComObject, public IUnknown {
public:
    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv)
    {
        *ppv = nullptr;
        return riid == IID_IUnknown ? ComAnswer(static_cast<IUnknown*>(this), ppv) : E_NOINTERFACE;
    }
};
