#pragma once
// Reference counting shared by the program's COM objects, an owning smart
// pointer, and object disconnection.
//
// Contract: a ComObject starts with no reference; whoever hands out its first
// interface pointer adds the reference that pointer carries. The object
// deletes itself when its count returns to 0. Main thread only (the objects
// live in the single-threaded apartment of the main thread).
//
// Disconnection (what CoDisconnectObject does): references that clients hold
// through the marshaling layer are registered as external holders under the
// object's identity (its IUnknown); disconnecting the object makes every
// holder release its references at once, so no later call reaches it.
#include "Unknown.h"

#include <utility>

class ComObject {
public:
    ULONG RefCount() const { return refs_; }
    // Objects alive in the process (every class deriving from ComObject).
    static long LiveObjects();

protected:
    ComObject();
    virtual ~ComObject();
    ULONG AddRefImpl() { return ++refs_; }
    ULONG ReleaseImpl()
    {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

private:
    ULONG refs_ = 0;
};

// IUnknown of a class that derives from ComObject and implements
// HRESULT QueryInterfaceImpl(REFIID, void**).
#define LINVARO_COM_IUNKNOWN                                                                          \
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return QueryInterfaceImpl(riid, ppv); } \
    ULONG AddRef() override { return AddRefImpl(); }                                                  \
    ULONG Release() override { return ReleaseImpl(); }

// Answers ppv with iface (adding a reference) when riid matches; helper for
// QueryInterfaceImpl.
template <typename I> inline HRESULT ComAnswer(I* iface, void** ppv)
{
    *ppv = iface;
    iface->AddRef();
    return S_OK;
}

// An owning interface pointer.
template <typename T> class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    explicit ComPtr(T* p, bool addRef = true) : p_(p)
    {
        if (p_ && addRef)
            p_->AddRef();
    }
    ComPtr(const ComPtr& o) : p_(o.p_)
    {
        if (p_)
            p_->AddRef();
    }
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComPtr& operator=(ComPtr o) noexcept
    {
        std::swap(p_, o.p_);
        return *this;
    }
    ~ComPtr() { reset(); }
    void reset()
    {
        if (p_)
            std::exchange(p_, nullptr)->Release();
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Out-parameter position: releases what is held first.
    T** put()
    {
        reset();
        return &p_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }
    T* detach() { return std::exchange(p_, nullptr); }
    // QueryInterface into another pointer type.
    template <typename U> HRESULT As(REFIID iid, ComPtr<U>& out) const
    {
        if (!p_)
            return E_POINTER;
        return p_->QueryInterface(iid, out.putVoid());
    }

private:
    T* p_ = nullptr;
};

// A holder of references on behalf of a client in the marshaling layer.
class ExternalHolder {
public:
    // Releases every reference this holder keeps on the object.
    virtual void DisconnectHolder() = 0;

protected:
    ~ExternalHolder() = default;
};

// The identity of an object: its IUnknown (no reference kept).
IUnknown* ComIdentity(IUnknown* unk);
void RegisterExternalHolder(IUnknown* identity, ExternalHolder* holder);
void UnregisterExternalHolder(IUnknown* identity, ExternalHolder* holder);
// Number of holders registered for an identity.
int ExternalHolderCount(IUnknown* identity);

// Drops every reference clients hold through the marshaling layer.
HRESULT CoDisconnectObject(IUnknown* unk, DWORD reserved);
// Objects of this process are always connected.
inline BOOL CoIsHandlerConnected(IUnknown*) { return 1; }

// A client's reference held through the marshaling layer: released when the
// object is disconnected. In-process test clients use it to behave like
// clients in other processes.
template <typename T> class ClientRef : public ExternalHolder {
public:
    ClientRef() = default;
    explicit ClientRef(T* adopted) { adopt(adopted); }
    ClientRef(const ClientRef&) = delete;
    ClientRef& operator=(const ClientRef&) = delete;
    ~ClientRef() { reset(); }
    // Takes over the reference that p carries.
    void adopt(T* p)
    {
        reset();
        p_ = p;
        if (p_) {
            identity_ = ComIdentity(p_);
            RegisterExternalHolder(identity_, this);
        }
    }
    void reset()
    {
        if (!p_)
            return;
        UnregisterExternalHolder(identity_, this);
        std::exchange(p_, nullptr)->Release();
        identity_ = nullptr;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void DisconnectHolder() override { reset(); }

private:
    T* p_ = nullptr;
    IUnknown* identity_ = nullptr;
};
