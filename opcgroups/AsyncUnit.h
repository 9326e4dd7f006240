#pragma once
// TAsyncIO2: one pending asynchronous transaction of a group (read, write,
// refresh, or the data change of an update).
//
// A transaction names its items by server handle, never by position: an
// item removed before the transaction is carried out is found missing and
// answered for on its own, and every other entry keeps its own item.
//
// Ownership: the group's transaction queue owns its transactions
// (std::unique_ptr). A transaction owns its handle and value arrays, which
// come from the task allocator; freeing the transaction frees them (values
// cleared first). A data change does not own its handles: it reads the
// group's changed-item buffer, which the group keeps and reuses.
// Main thread only.
#include "OPCtypes.h"

#include <memory>
#include <vector>

enum class TAsyncKind : DWORD { Read = 1, Write = 2, Refresh = 3, DataChange = 4 };

class TAsyncIO2 {
public:
    // A transaction with room for capacity item handles (and, for a write,
    // as many zero-filled values); nullptr when any part cannot be
    // allocated. The cancel id is given by the caller.
    static std::unique_ptr<TAsyncIO2> Create(TAsyncKind kind, DWORD transactionId, DWORD cancelId, DWORD capacity);
    ~TAsyncIO2();
    TAsyncIO2(const TAsyncIO2&) = delete;
    TAsyncIO2& operator=(const TAsyncIO2&) = delete;

    // Transactions alive in the process (leak checks).
    static long LiveTransactions();

    // Appends an item's server handle (read and write). The caller stays
    // within the capacity given at creation.
    void Append(OPCHANDLE serverHandle) { handles_[count_++] = serverHandle; }
    // The value slot of the entry appended last (write).
    VARIANT& LastValue() { return values_[count_ - 1]; }

    TAsyncKind Kind() const { return kind_; }
    DWORD TransactionId() const { return transactionId_; }
    DWORD CancelId() const { return cancelId_; }
    DWORD Count() const { return count_; }
    OPCHANDLE Handle(DWORD i) const { return handleSource_ ? (*handleSource_)[i] : handles_[i]; }
    const VARIANT& Value(DWORD i) const { return values_[i]; }
    bool Cancelled() const { return cancelled_; }
    void Cancel() { cancelled_ = true; }
    DWORD Source() const { return source_; }
    void SetSource(DWORD s) { source_ = s; }
    // Data change: the handles are the group's changed-item buffer.
    void SetHandleSource(const std::vector<OPCHANDLE>* buffer)
    {
        handleSource_ = buffer;
        count_ = static_cast<DWORD>(buffer->size());
    }
    const std::vector<OPCHANDLE>* HandleSource() const { return handleSource_; }

private:
    TAsyncIO2(TAsyncKind kind, DWORD transactionId, DWORD cancelId);

    DWORD source_ = 0;
    bool cancelled_ = false;
    OPCHANDLE* handles_ = nullptr;
    VARIANT* values_ = nullptr;
    DWORD capacity_ = 0;
    TAsyncKind kind_;
    DWORD transactionId_;
    DWORD cancelId_;
    DWORD count_ = 0;
    const std::vector<OPCHANDLE>* handleSource_ = nullptr;
};
