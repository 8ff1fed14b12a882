// The one guard every boundary call goes through: host calls into the driver,
// the C exports and the driver's calls out to the host on the data path.
#pragma once

#include <exception>
#include <utility>

namespace korvane {

namespace detail {
template <class OnError>
void ReportGuarded(OnError& onError, const char* what) noexcept {
  try {
    onError(what);
  } catch (...) {
    // Reporting failed as well; nothing is left to tell.
  }
}
}  // namespace detail

/// Runs `body` and returns its result; any exception is passed to
/// `onError(what)` and `fallback` is returned instead.
template <class R, class Body, class OnError>
R CallGuarded(R fallback, Body&& body, OnError&& onError) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& e) {
    detail::ReportGuarded(onError, e.what());
  } catch (...) {
    detail::ReportGuarded(onError, "unknown exception");
  }
  return fallback;
}

/// As above for a body without a result.
template <class Body, class OnError>
void CallGuardedVoid(Body&& body, OnError&& onError) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (const std::exception& e) {
    detail::ReportGuarded(onError, e.what());
  } catch (...) {
    detail::ReportGuarded(onError, "unknown exception");
  }
}

}  // namespace korvane
