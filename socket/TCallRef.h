// TCallRef: a callable passed down a call without being copied or owned, so that a lambda
// with a few captures costs no heap block (std::function keeps it on the heap past 16 bytes).
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

template <class Signature>
class TCallRef;

// Refers to a callable that outlives the TCallRef: a lambda written in the argument list of
// the call that takes it lives until that call returns.
template <class Result, class... Args>
class TCallRef<Result(Args...)> {
 public:
  template <class Callable, class = std::enable_if_t<!std::is_same_v<std::decay_t<Callable>, TCallRef>>>
  TCallRef(Callable&& Call)  // NOLINT(google-explicit-constructor): passed as an argument
      : FObject(const_cast<void*>(static_cast<const void*>(std::addressof(Call)))),
        FInvoke([](void* Object, Args... A) -> Result {
          return (*static_cast<std::remove_reference_t<Callable>*>(Object))(std::forward<Args>(A)...);
        }) {}

  Result operator()(Args... A) const { return FInvoke(FObject, std::forward<Args>(A)...); }

 private:
  void* FObject;
  Result (*FInvoke)(void*, Args...);
};
