// Result<T, E>: the project's error-as-value type.
//
// A Result holds either a value of T or an error of E. Errors are built with
// `err(e)`, which converts into any Result whose error type can be built from
// `e`; that is how a layer wraps the error of the layer below it unchanged
// (for example a wire error into the protocol error).
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace quib::wire {

template <class E>
struct Err {
  E error;
};

template <class E>
Err<std::decay_t<E>> err(E&& e) {
  return Err<std::decay_t<E>>{std::forward<E>(e)};
}

// Marker for the value of a Result<void, E>.
struct Unit {
  friend bool operator==(Unit, Unit) { return true; }
};

template <class T, class E>
class [[nodiscard]] Result {
 public:
  using value_type = T;
  using error_type = E;

  template <class U = T, std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                              !std::is_same_v<std::decay_t<U>, Result>,
                                          int> = 0>
  Result(U&& v) : data_(std::in_place_index<0>, std::forward<U>(v)) {}

  template <class F, std::enable_if_t<std::is_constructible_v<E, F&&>, int> = 0>
  Result(Err<F>&& e) : data_(std::in_place_index<1>, std::move(e.error)) {}

  template <class F, std::enable_if_t<std::is_constructible_v<E, const F&>, int> = 0>
  Result(const Err<F>& e) : data_(std::in_place_index<1>, e.error) {}

  bool ok() const { return data_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(data_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(data_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(data_));
  }

  E& error() & {
    assert(!ok());
    return std::get<1>(data_);
  }
  const E& error() const& {
    assert(!ok());
    return std::get<1>(data_);
  }
  E&& error() && {
    assert(!ok());
    return std::get<1>(std::move(data_));
  }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  template <class U>
  T value_or(U&& fallback) const& {
    return ok() ? value() : static_cast<T>(std::forward<U>(fallback));
  }

 private:
  std::variant<T, E> data_;
};

// Result<void, E> is spelled Status<E>.
template <class E>
using Status = Result<Unit, E>;

inline constexpr Unit ok_unit{};

}  // namespace quib::wire

#define QUIB_CAT_INNER(a, b) a##b
#define QUIB_CAT(a, b) QUIB_CAT_INNER(a, b)

// QUIB_TRY(decl, expr): evaluates expr (a Result); on error returns the error
// from the enclosing function (converted to its Result type), otherwise
// declares `decl` from the value. Example: QUIB_TRY(auto rec, reader.next());
#define QUIB_TRY(decl, expr)                                                    \
  auto QUIB_CAT(quib_try_, __LINE__) = (expr);                                  \
  if (!QUIB_CAT(quib_try_, __LINE__))                                           \
    return ::quib::wire::err(std::move(QUIB_CAT(quib_try_, __LINE__)).error()); \
  decl = std::move(QUIB_CAT(quib_try_, __LINE__)).value()

// QUIB_CHECK(expr): evaluates a Result whose value is not needed and returns
// its error from the enclosing function when it failed.
#define QUIB_CHECK(expr)                                                          \
  do {                                                                            \
    auto quib_check_r = (expr);                                                   \
    if (!quib_check_r) return ::quib::wire::err(std::move(quib_check_r).error()); \
  } while (0)
