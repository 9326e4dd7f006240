// IEnumString and IEnumUnknown as a client drives them.
#include "EnumString.h"
#include "EnumUnknown.h"
#include "OPCDA.h"
#include "OpcBaseTestSupport.h"

#include <array>

namespace {

constexpr HRESULT kOutOfRange = 0x000006F5;

class StringsEnumerator : public LeakCheckedTest {
protected:
    void SetUp() override
    {
        LeakCheckedTest::SetUp();
        e_ = ComPtr<IEnumString>(CreateStringsEnumerator({"Scale_COM3", "Printer_COM1", "W\xC3\xA4ge_COM2"}), false);
        ASSERT_TRUE(e_);
    }
    void TearDown() override
    {
        e_.reset();
        LeakCheckedTest::TearDown();
    }
    // Next(celt) with the texts it handed out (freed) and its count.
    HRESULT next(ULONG celt, std::vector<std::string>& got)
    {
        std::array<LPOLESTR, 8> out{};
        ULONG fetched = 99;
        const HRESULT hr = e_->Next(celt, out.data(), &fetched);
        got.clear();
        for (ULONG i = 0; i < fetched && i < out.size(); ++i) {
            got.push_back(AnsiFromWide(out[i]));
            CoTaskMemFree(out[i]);
        }
        return hr;
    }
    ComPtr<IEnumString> e_;
};

using Texts = std::vector<std::string>;

TEST_F(StringsEnumerator, NextReportsShortBatchesWithTheOutOfRangeCode)
{
    Texts got;
    EXPECT_EQ(next(2, got), S_OK);
    EXPECT_EQ(got, (Texts{"Scale_COM3", "Printer_COM1"}));
    EXPECT_EQ(next(2, got), kOutOfRange);
    EXPECT_EQ(got, (Texts{"W\xC3\xA4ge_COM2"}));
    EXPECT_EQ(next(1, got), kOutOfRange);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(e_->Reset(), S_OK);
    EXPECT_EQ(next(3, got), S_OK);
    EXPECT_EQ(got, (Texts{"Scale_COM3", "Printer_COM1", "W\xC3\xA4ge_COM2"}));
}

TEST_F(StringsEnumerator, NextOfNothingAndWithoutCountPointerWritesNothing)
{
    LPOLESTR out = reinterpret_cast<LPOLESTR>(0x1);
    ULONG fetched = 77;
    EXPECT_EQ(e_->Next(0, &out, &fetched), kOutOfRange);
    EXPECT_EQ(e_->Next(0, &out, nullptr), kOutOfRange);
    EXPECT_EQ(e_->Next(1, &out, nullptr), E_INVALIDARG);
    EXPECT_EQ(out, reinterpret_cast<LPOLESTR>(0x1));
    EXPECT_EQ(fetched, 77u);
    EXPECT_EQ(RemainingTexts(e_.get()).size(), 3u) << "the position must not move";
}

TEST_F(StringsEnumerator, SkipStopsAtTheEnd)
{
    EXPECT_EQ(e_->Skip(5), S_FALSE);
    EXPECT_TRUE(RemainingTexts(e_.get()).empty());
    e_->Reset();
    EXPECT_EQ(e_->Skip(3), S_OK);
    EXPECT_TRUE(RemainingTexts(e_.get()).empty());
    e_->Reset();
    EXPECT_EQ(e_->Skip(2), S_OK);
    EXPECT_EQ(RemainingTexts(e_.get()), (Texts{"W\xC3\xA4ge_COM2"}));
    e_->Reset();
    EXPECT_EQ(e_->Skip(1), S_OK);
    EXPECT_EQ(e_->Skip(0xFFFFFFFFu), S_FALSE);
    EXPECT_TRUE(RemainingTexts(e_.get()).empty());
}

TEST_F(StringsEnumerator, CloneStartsAtTheFirstTextAndIsIndependent)
{
    Texts got;
    next(1, got);
    ComPtr<IEnumString> clone;
    ASSERT_EQ(e_->Clone(clone.put()), S_OK);
    e_.reset(); // the clone owns its own copy of the texts
    EXPECT_EQ(RemainingTexts(clone.get()), (Texts{"Scale_COM3", "Printer_COM1", "W\xC3\xA4ge_COM2"}));
}

TEST_F(StringsEnumerator, OutOfMemoryHandsOutNothingAndKeepsThePosition)
{
    CoTaskMemFailAfter(1);
    std::array<LPOLESTR, 3> out{};
    ULONG fetched = 99;
    EXPECT_EQ(e_->Next(3, out.data(), &fetched), E_OUTOFMEMORY);
    EXPECT_EQ(fetched, 0u);
    CoTaskMemFailAfter(-1);
    EXPECT_EQ(RemainingTexts(e_.get()).size(), 3u);
}

TEST_F(StringsEnumerator, AnswersOnlyItsOwnInterfaces)
{
    ComPtr<IUnknown> unk;
    EXPECT_EQ(e_->QueryInterface(IID_IUnknown, unk.putVoid()), S_OK);
    EXPECT_EQ(unk.get(), static_cast<IUnknown*>(e_.get()));
    for (const IID& iid : {IID_IEnumUnknown, IID_IOPCServer, IID_IConnectionPointContainer}) {
        void* p = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(e_->QueryInterface(iid, &p), E_NOINTERFACE);
        EXPECT_EQ(p, nullptr);
    }
}

TEST_F(LeakCheckedTest, EmptyStringsEnumerator)
{
    ComPtr<IEnumString> e(CreateStringsEnumerator({}), false);
    LPOLESTR s = nullptr;
    ULONG fetched = 9;
    EXPECT_EQ(e->Next(1, &s, &fetched), kOutOfRange);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(e->Skip(0), S_OK);
    EXPECT_EQ(e->Skip(1), S_FALSE);
}

class UnknownEnumerator : public LeakCheckedTest {
protected:
    void SetUp() override
    {
        LeakCheckedTest::SetUp();
        for (auto& g : groups_)
            g = ComPtr<TCounted>(new TCounted);
        std::vector<IUnknown*> refs;
        for (auto& g : groups_) {
            g->AddRef(); // handed to the enumerator
            refs.push_back(g.get());
        }
        e_ = ComPtr<IEnumUnknown>(CreateUnknownEnumerator(refs), false);
        ASSERT_TRUE(e_);
    }
    void TearDown() override
    {
        e_.reset();
        for (auto& g : groups_)
            EXPECT_EQ(g->RefCount(), 1u) << "the enumerator must give back its references";
        for (auto& g : groups_)
            g.reset();
        LeakCheckedTest::TearDown();
    }
    // Next(celt), releasing what was handed out; the objects in order.
    HRESULT next(ULONG celt, std::vector<IUnknown*>& got, bool release = true)
    {
        std::array<IUnknown*, 4> out{};
        ULONG fetched = 99;
        const HRESULT hr = e_->Next(celt, out.data(), &fetched);
        got.assign(out.begin(), out.begin() + std::min<ULONG>(fetched, out.size()));
        if (release)
            for (IUnknown* u : got)
                u->Release();
        return hr;
    }
    std::array<ComPtr<TCounted>, 2> groups_;
    ComPtr<IEnumUnknown> e_;
};

TEST_F(UnknownEnumerator, HandsOutACountedReferencePerElement)
{
    std::vector<IUnknown*> first, second;
    EXPECT_EQ(next(2, first, false), S_OK);
    e_->Reset();
    EXPECT_EQ(next(2, second, false), S_OK);
    ASSERT_EQ(first.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(first[i], second[i]);
        EXPECT_EQ(first[i], static_cast<IUnknown*>(groups_[i].get()));
        EXPECT_EQ(groups_[i]->RefCount(), 4u); // test, enumerator, two handed out
    }
    for (IUnknown* u : first)
        u->Release();
    for (IUnknown* u : second)
        u->Release();
}

TEST_F(UnknownEnumerator, NextPastTheEndAndNextOfNothing)
{
    std::vector<IUnknown*> got;
    EXPECT_EQ(next(3, got), kOutOfRange);
    EXPECT_EQ(got.size(), 2u);
    EXPECT_EQ(next(1, got), kOutOfRange);
    EXPECT_TRUE(got.empty());
    IUnknown* out = reinterpret_cast<IUnknown*>(0x1);
    ULONG fetched = 77;
    e_->Reset();
    EXPECT_EQ(e_->Next(0, &out, &fetched), S_FALSE);
    EXPECT_EQ(e_->Next(1, &out, nullptr), E_INVALIDARG);
    EXPECT_EQ(out, reinterpret_cast<IUnknown*>(0x1));
    EXPECT_EQ(fetched, 77u);
    EXPECT_EQ(e_->Skip(3), S_FALSE);
    EXPECT_EQ(next(1, got), kOutOfRange);
}

TEST_F(UnknownEnumerator, CloneHoldsItsOwnReferencesAndStartsAtTheStart)
{
    std::vector<IUnknown*> got;
    next(1, got);
    ComPtr<IEnumUnknown> clone;
    ASSERT_EQ(e_->Clone(clone.put()), S_OK);
    EXPECT_EQ(groups_[0]->RefCount(), 3u);
    std::swap(e_, clone);
    clone.reset();
    EXPECT_EQ(groups_[0]->RefCount(), 2u);
    EXPECT_EQ(next(1, got), S_OK);
    EXPECT_EQ(got.front(), static_cast<IUnknown*>(groups_[0].get()));
}

TEST_F(UnknownEnumerator, KeepsItsObjectsAliveAndAnswersOnlyItsOwnInterfaces)
{
    const long live = ComObject::LiveObjects();
    groups_[1].reset(); // only the enumerator holds it now
    EXPECT_EQ(ComObject::LiveObjects(), live);
    std::vector<IUnknown*> got;
    EXPECT_EQ(next(2, got), S_OK);
    groups_[1] = ComPtr<TCounted>(static_cast<TCounted*>(got[1])); // for the teardown check
    void* p = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(e_->QueryInterface(IID_IEnumString, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    ComPtr<IEnumUnknown> again;
    EXPECT_EQ(e_->QueryInterface(IID_IEnumUnknown, again.putVoid()), S_OK);
}

} // namespace
