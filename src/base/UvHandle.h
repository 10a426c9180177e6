#pragma once

#include <uv.h>

#include <cstdlib>
#include <new>
#include <utility>

namespace velmor {

// The close callback of every heap-allocated libuv handle: the handle's memory is
// freed here and nowhere else, after libuv is done with it.
void freeHandle(uv_handle_t* handle);

// Owner of one heap-allocated, initialised libuv handle of type T.
// Lives on the thread of the handle's loop. close() (or the destructor) calls
// uv_close with freeHandle and gives the pointer up at once; the memory itself
// goes when the loop runs the close callback. Never owns an uninitialised handle:
// the constructor runs the init function and keeps the handle only if it succeeded.
template <typename T>
class UvHandle {
 public:
  UvHandle() = default;

  // init(T*) returns a libuv status; on failure nothing is kept and status() tells why.
  template <typename Init>
  explicit UvHandle(Init&& init) {
    T* handle = static_cast<T*>(std::calloc(1, sizeof(T)));
    if (handle == nullptr) throw std::bad_alloc();
    status_ = std::forward<Init>(init)(handle);
    if (status_ < 0) {
      std::free(handle);
      return;
    }
    handle_ = handle;
  }

  ~UvHandle() { close(); }

  UvHandle(const UvHandle&) = delete;
  UvHandle& operator=(const UvHandle&) = delete;
  UvHandle(UvHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)), status_(other.status_) {}
  UvHandle& operator=(UvHandle&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, nullptr);
      status_ = other.status_;
    }
    return *this;
  }

  T* get() const { return handle_; }
  uv_handle_t* handle() const { return reinterpret_cast<uv_handle_t*>(handle_); }
  explicit operator bool() const { return handle_ != nullptr; }
  int status() const { return status_; }

  void close() {
    if (handle_ == nullptr) return;
    if (!uv_is_closing(handle())) uv_close(handle(), freeHandle);
    handle_ = nullptr;
  }

 private:
  T* handle_ = nullptr;
  int status_ = 0;
};

}  // namespace velmor
