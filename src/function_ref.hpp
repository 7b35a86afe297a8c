// FunctionRef: a non-owning reference to a callable, cheap to pass by value
// (two pointers). The readers take their sinks as one, so that a parser is
// compiled once, not once per caller's lambda. The callable must outlive the
// reference.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace tilu {

template <class Sig>
class FunctionRef;
template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef>)
    FunctionRef(F&& f)  // NOLINT: implicit on purpose
        : obj_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* o, Args... a) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(a)...);
          }) {}
    R operator()(Args... a) const { return call_(obj_, std::forward<Args>(a)...); }

private:
    void* obj_;
    R (*call_)(void*, Args...);
};

}  // namespace tilu
