// Owning wrappers for COM: com_ptr holds one reference to an interface
// (after WIL's com_ptr), unique_propvariant clears a PROPVARIANT, and
// com_initialization balances a successful CoInitializeEx.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <propidl.h>

#include <cstddef>
#include <utility>

namespace ostrel {

template <typename T>
class com_ptr {
 public:
  com_ptr() noexcept = default;
  com_ptr(std::nullptr_t) noexcept {}  // NOLINT: allows `= nullptr`
  // Takes a reference of its own; attach() adopts the caller's instead.
  explicit com_ptr(T* pointer) noexcept : pointer_(pointer) {
    if (pointer_ != nullptr) pointer_->AddRef();
  }
  com_ptr(const com_ptr& other) noexcept : com_ptr(other.pointer_) {}
  com_ptr(com_ptr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  ~com_ptr() { reset(); }

  com_ptr& operator=(const com_ptr& other) noexcept {
    com_ptr(other).swap(*this);
    return *this;
  }
  com_ptr& operator=(com_ptr&& other) noexcept {
    com_ptr(std::move(other)).swap(*this);
    return *this;
  }
  com_ptr& operator=(std::nullptr_t) noexcept {
    reset();
    return *this;
  }

  T* get() const noexcept { return pointer_; }
  T* operator->() const noexcept { return pointer_; }
  explicit operator bool() const noexcept { return pointer_ != nullptr; }

  // For out-parameters: releases what is held and exposes the storage.
  T** put() noexcept {
    reset();
    return &pointer_;
  }
  // The same for calls that take void** (CoCreateInstance, QueryInterface).
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

  void attach(T* pointer) noexcept {
    reset();
    pointer_ = pointer;
  }
  T* detach() noexcept { return std::exchange(pointer_, nullptr); }
  void reset() noexcept {
    if (T* old = std::exchange(pointer_, nullptr)) old->Release();
  }
  void swap(com_ptr& other) noexcept { std::swap(pointer_, other.pointer_); }

  // QueryInterface into another com_ptr; `target` is empty on failure.
  template <typename U>
  HRESULT query_to(REFIID iid, com_ptr<U>& target) const noexcept {
    if (pointer_ == nullptr) {
      target.reset();
      return E_POINTER;
    }
    return pointer_->QueryInterface(iid, target.put_void());
  }

 private:
  T* pointer_ = nullptr;
};

// A PROPVARIANT that is initialised on construction and cleared (freeing
// strings and releasing interfaces it holds) on destruction.
class unique_propvariant {
 public:
  unique_propvariant() noexcept { PropVariantInit(&value_); }
  ~unique_propvariant() { reset(); }
  unique_propvariant(const unique_propvariant&) = delete;
  unique_propvariant& operator=(const unique_propvariant&) = delete;

  const PROPVARIANT& get() const noexcept { return value_; }
  const PROPVARIANT* operator->() const noexcept { return &value_; }
  // For out-parameters: clears what is held and exposes the storage.
  PROPVARIANT* put() noexcept {
    reset();
    return &value_;
  }
  void reset() noexcept {
    PropVariantClear(&value_);
    PropVariantInit(&value_);
  }

 private:
  PROPVARIANT value_;
};

// COM initialised on the calling thread. Only a successful CoInitializeEx
// (S_OK or S_FALSE) is balanced: an extra CoUninitialize would tear down COM
// under whoever else initialised the thread. Reset it on the thread that
// initialised it, which is why it neither copies nor moves.
class com_initialization {
 public:
  com_initialization() noexcept = default;
  ~com_initialization() { reset(); }
  com_initialization(const com_initialization&) = delete;
  com_initialization& operator=(const com_initialization&) = delete;

  // Balances an earlier initialisation first; answers CoInitializeEx's result.
  HRESULT initialize(DWORD concurrency_model) noexcept {
    reset();
    const HRESULT result = CoInitializeEx(/*pvReserved=*/nullptr, concurrency_model);
    initialized_ = SUCCEEDED(result);
    return result;
  }
  void reset() noexcept {
    if (initialized_) {
      initialized_ = false;
      CoUninitialize();
    }
  }
  explicit operator bool() const noexcept { return initialized_; }

 private:
  bool initialized_ = false;
};

}  // namespace ostrel
