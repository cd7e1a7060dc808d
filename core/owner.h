// Owners of the platform's resources: one value, released once when the owner goes. Invalid is
// not one value (WIL's lesson): a file handle is invalid at INVALID_HANDLE_VALUE, a process,
// thread or token handle and every block at null, so each kind's traits say what it is and how
// it is released. The current-process pseudo-handle is never owned. No exceptions, no heap.
#pragma once

#include "platform/win32.h"

template <typename Traits>
class Owner {
 public:
  using Value = typename Traits::Value;

  Owner() : value_(Traits::Invalid()) {}
  explicit Owner(Value value) : value_(value) {}
  // May throw in the host tests alone, which stop the process at any call, a release among them,
  // as a kill would; the stub is built without exceptions.
  ~Owner() noexcept(false) { Reset(); }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  Owner(Owner&& other) : value_(other.Release()) {}
  Owner& operator=(Owner&& other) {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  Value Get() const { return value_; }
  bool IsValid() const { return value_ != Traits::Invalid(); }
  // The slot for a platform call that hands out a new resource; what was held is released first.
  Value* Receive() {
    Reset();
    return &value_;
  }
  // Gives the value up without releasing it.
  Value Release() {
    const Value value = value_;
    value_ = Traits::Invalid();
    return value;
  }
  void Reset(Value value = Traits::Invalid()) {
    const Value old = value_;
    value_ = value;
    if (old != Traits::Invalid()) Traits::Close(old);
  }

 private:
  Value value_;
};

struct FileHandleTraits {
  using Value = HANDLE;
  static Value Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Value value) { CloseHandle(value); }
};

// Processes, threads and tokens.
struct KernelHandleTraits {
  using Value = HANDLE;
  static Value Invalid() { return nullptr; }
  static void Close(Value value) { CloseHandle(value); }
};

struct RegistryKeyTraits {
  using Value = HKEY;
  static Value Invalid() { return nullptr; }
  static void Close(Value value) { RegCloseKey(value); }
};

// What the platform hands out from the local allocator (the argument array, SID text, security
// descriptors) and what the stub takes from it.
template <typename T>
struct LocalBlockTraits {
  using Value = T*;
  static Value Invalid() { return nullptr; }
  static void Close(Value value) { LocalFree(value); }
};

template <typename T>
struct HeapBlockTraits {
  using Value = T*;
  static Value Invalid() { return nullptr; }
  static void Close(Value value) { HeapFree(GetProcessHeap(), 0, value); }
};

using FileHandle = Owner<FileHandleTraits>;
using KernelHandle = Owner<KernelHandleTraits>;
using RegistryKey = Owner<RegistryKeyTraits>;
template <typename T>
using LocalBlock = Owner<LocalBlockTraits<T>>;
template <typename T>
using HeapBlock = Owner<HeapBlockTraits<T>>;
