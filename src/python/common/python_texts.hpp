// Messages worded as Python itself words them: argument checks, the coroutine protocol,
// pickle states, thread pools. They belong to the binding layer, not to the engine.
#pragma once

#include <string_view>

namespace tovrane::text::python {

/// An argument of the wrong kind (TypeError); {expected} reads "str", "a list or None", ...
inline constexpr std::string_view kWrongType = R"({name} must be {expected}, not {type})";
/// How Python names a function's argument in that message.
inline constexpr std::string_view kArgumentOf = R"({function}() argument '{argument}')";

/// A malformed pickle or copy state, as pybind11 reports it.
inline constexpr std::string_view kInvalidState = R"(Invalid {type} state)";

/// Marks a text cut short in a preview or a repr.
inline constexpr std::string_view kEllipsis = "...";

/// ThreadPoolExecutor's refusal of a worker count below 1.
inline constexpr std::string_view kBadWorkerCount = R"(max_workers must be greater than 0)";

// The coroutine protocol (NUL-terminated: they go to the C API as they are).
inline constexpr std::string_view kAlreadyExecuting = "coroutine already executing";
inline constexpr std::string_view kReused = "cannot reuse already awaited coroutine";
inline constexpr std::string_view kAwaitedAlready = "coroutine is being awaited already";
inline constexpr std::string_view kNonNoneStart = "can't send non-None value to a just-started coroutine";
inline constexpr std::string_view kRaisedStop = "coroutine raised StopIteration";

}  // namespace tovrane::text::python
