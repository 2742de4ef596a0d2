// Raising, wrapping and telling apart Python errors: the one route of every module.
#pragma once

#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tovrane::py_util {

namespace py = pybind11;

/// True for errors of an ordinary kind (instances of Exception). CancelledError,
/// KeyboardInterrupt, SystemExit and GeneratorExit are not and always pass through.
bool is_ordinary(const py::error_already_set& err);

/// str(err) of the Python exception, as Python code would print it.
std::string error_text(const py::error_already_set& err);

/// Raises the Python error `type` with `message`.
[[noreturn]] void raise(py::handle type, std::string_view message);

/// Raises `type` with `message` chained to `cause`, as `raise ... from cause` does.
[[noreturn]] void raise_from_cause(py::error_already_set& cause, py::handle type, std::string_view message);

/// Raises the exception instance `error` as it is: its own type, its traceback.
[[noreturn]] void raise_instance(py::handle error);

namespace detail {

/// An ordinary error being handled: the Python error when there is one, and its text.
struct Caught {
    std::optional<py::error_already_set> python;
    std::string text;
};

/// Inside a catch handler: the error being handled when it is of an ordinary kind. A
/// pybind11 builtin exception becomes the Python error it stands for; another C++
/// exception keeps only its text. Anything else (interrupts, cancellation, exits,
/// unknown exceptions) is rethrown.
Caught caught_ordinary();

}  // namespace detail

/// Inside a catch handler: re-raises the ordinary error being handled as `type` with the
/// message `wrap(text of the error)`, chained to it. Errors of a type in `keep` pass on
/// unchanged, as do interrupts, cancellation and exits.
template <typename Wrap>
[[noreturn]] void reraise_as(py::handle type, Wrap&& wrap, std::initializer_list<py::handle> keep = {}) {
    detail::Caught caught = detail::caught_ordinary();
    if (!caught.python) raise(type, wrap(caught.text));
    for (py::handle kept : keep) {
        if (caught.python->matches(kept)) throw std::move(*caught.python);
    }
    raise_from_cause(*caught.python, type, wrap(caught.text));
}

/// Runs `body`; an ordinary error it raises is re-raised by reraise_as.
template <typename Body, typename Wrap>
decltype(auto) guarded(Body&& body, Wrap&& wrap, py::handle type = PyExc_RuntimeError,
                       std::initializer_list<py::handle> keep = {}) {
    try {
        return body();
    } catch (...) {
        reraise_as(type, wrap, keep);
    }
}

/// Runs `body`; the text of the ordinary error it raised, or nothing when it succeeded.
template <typename Body>
std::optional<std::string> ordinary_error(Body&& body) {
    try {
        body();
        return std::nullopt;
    } catch (...) {
        return detail::caught_ordinary().text;
    }
}

/// The usual `wrap`: `text` with its {error} filled by the text of the caught error.
template <const std::string_view& text>
std::string with_error(const std::string& error) {
    using namespace fmt::literals;
    return fmt::format(text, "error"_a = error);
}

// ---- Arguments of the wrong kind ------------------------------------------------------------

/// TypeError "{name} must be {expected}, not {type(value).__name__}": the one wording
/// for an argument of the wrong kind.
[[noreturn]] void wrong_type(std::string_view name, std::string_view expected, py::handle value);

/// "{function}() argument '{argument}'", as Python names an argument in that message.
std::string argument_of(std::string_view function, std::string_view argument);

/// wrong_type(name, "str", value) unless `value` is a str. A pybind11 std::string
/// parameter would also take bytes, which later reads back as something else.
void require_str(py::handle value, std::string_view name);

/// wrong_type(name, expected, value) unless isinstance(value, type).
void require_instance(py::handle value, py::handle type, std::string_view name, std::string_view expected);

// ---- Interrupted batches --------------------------------------------------------------------

/// The attribute an interrupted or cancelled batch leaves on its KeyboardInterrupt or
/// CancelledError: the result records of the items that finished, so the caller can keep
/// work already paid for before the interrupt goes on.
inline constexpr const char* kPartialResults = "partial_results";

/// Leaves `results` on the error as its partial results.
void attach_partial_results(py::handle error, py::handle results);

/// The partial results left on the error, or None.
py::object partial_results(const py::error_already_set& err);

}  // namespace tovrane::py_util
