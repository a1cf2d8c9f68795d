// Keeps C++ exceptions inside the library: every exported call runs its body
// through Guard, which turns exhausted memory into TMBIO_NO_MEMORY and any
// other escape into TMBIO_IO_ERROR (or a null object).
#pragma once

#include <new>
#include <type_traits>

#include "tmbio/tmbio.h"

namespace tmbio {

template <typename F>
auto Guard(F body) noexcept -> decltype(body()) {
  using R = decltype(body());
  try {
    return body();
  } catch (const std::bad_alloc&) {
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return static_cast<R>(TMBIO_NO_MEMORY);
    }
  } catch (...) {
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return static_cast<R>(TMBIO_IO_ERROR);
    }
  }
}

}  // namespace tmbio
