#pragma once

#include <utility>

namespace velmor {

// One counted reference to a shared record (a ChatLine, a FileRecord): the one way the
// server holds such records, so that no holder forgets its release or releases twice.
// Copying takes a reference more; destruction, reset() and assignment give one back. The
// record type provides addRef() and a static release(T*) (which frees the record, or
// returns it to its pool, with its last reference). A Ref is no more thread-safe than the
// record's count: chat lines stay on the main loop; file records count atomically.
template <typename T>
class Ref {
 public:
  Ref() = default;
  Ref(std::nullptr_t) {}  // NOLINT(google-explicit-constructor): a null reference
  ~Ref() { reset(); }

  // Takes over a reference the caller already holds (a record fresh from its factory).
  static Ref adopt(T* record) {
    Ref ref;
    ref.record_ = record;
    return ref;
  }
  // Takes a reference of its own on a record someone else holds.
  static Ref share(T* record) {
    if (record != nullptr) record->addRef();
    return adopt(record);
  }

  Ref(const Ref& other) : record_(other.record_) {
    if (record_ != nullptr) record_->addRef();
  }
  Ref(Ref&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
  Ref& operator=(const Ref& other) {
    if (this != &other) *this = share(other.record_);
    return *this;
  }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      reset();
      record_ = std::exchange(other.record_, nullptr);
    }
    return *this;
  }

  void reset() {
    if (record_ != nullptr) T::release(std::exchange(record_, nullptr));
  }

  T* get() const { return record_; }
  T* operator->() const { return record_; }
  T& operator*() const { return *record_; }
  explicit operator bool() const { return record_ != nullptr; }
  friend bool operator==(const Ref& a, const Ref& b) { return a.record_ == b.record_; }
  friend bool operator==(const Ref& a, const T* b) { return a.record_ == b; }

 private:
  T* record_ = nullptr;
};

}  // namespace velmor
