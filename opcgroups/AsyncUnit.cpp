#include "AsyncUnit.h"

#include "TaskMem.h"

#include <cstring>
#include <new>

namespace {
long g_liveTransactions = 0;
}

TAsyncIO2::TAsyncIO2(TAsyncKind kind, DWORD transactionId, DWORD cancelId)
    : kind_(kind), transactionId_(transactionId), cancelId_(cancelId)
{
    ++g_liveTransactions;
}

TAsyncIO2::~TAsyncIO2()
{
    if (values_) {
        for (DWORD i = 0; i < capacity_; ++i)
            VariantClear(&values_[i]);
        CoTaskMemFree(values_);
    }
    CoTaskMemFree(handles_);
    --g_liveTransactions;
}

long TAsyncIO2::LiveTransactions() { return g_liveTransactions; }

std::unique_ptr<TAsyncIO2> TAsyncIO2::Create(TAsyncKind kind, DWORD transactionId, DWORD cancelId, DWORD capacity)
{
    std::unique_ptr<TAsyncIO2> t(new (std::nothrow) TAsyncIO2(kind, transactionId, cancelId));
    if (!t)
        return nullptr;
    if (kind == TAsyncKind::Read || kind == TAsyncKind::Write) {
        t->handles_ = static_cast<OPCHANDLE*>(CoTaskMemAlloc(std::size_t{capacity} * sizeof(OPCHANDLE)));
        if (!t->handles_)
            return nullptr;
    }
    if (kind == TAsyncKind::Write) {
        t->values_ = static_cast<VARIANT*>(CoTaskMemAlloc(std::size_t{capacity} * sizeof(VARIANT)));
        if (!t->values_)
            return nullptr;
        std::memset(t->values_, 0, std::size_t{capacity} * sizeof(VARIANT));
        t->capacity_ = capacity;
    }
    return t;
}
