// Python-semantics helpers shared by every extension module.
#pragma once

#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace tovrane::py_util {

namespace py = pybind11;

/// True for errors of an ordinary kind (instances of Exception). CancelledError,
/// KeyboardInterrupt, SystemExit and GeneratorExit are not and must pass through.
bool is_ordinary(const py::error_already_set& err);

/// str(err) of the Python exception, as Python code would print it.
std::string error_text(const py::error_already_set& err);

/// str(obj).
std::string str(py::handle obj);

/// Raises the Python error `type` with `message`.
[[noreturn]] void raise(py::handle type, const std::string& message);

/// Raises `type` with `message` chained to `cause`, as `raise ... from cause` does.
[[noreturn]] void raise_from(py::error_already_set& cause, py::handle type, const std::string& message);

/// Runs `body`; an error of an ordinary kind is re-raised as `type` (RuntimeError unless
/// given) with the message `wrap(text of the error)`, chained to it. Cancellation and
/// exits pass through untouched.
template <typename Body, typename Wrap>
decltype(auto) guarded(Body&& body, Wrap&& wrap, py::handle type = PyExc_RuntimeError) {
    try {
        return body();
    } catch (py::error_already_set& err) {
        if (!is_ordinary(err)) throw;
        raise_from(err, type, wrap(error_text(err)));
    } catch (const std::exception& err) {
        raise(type, wrap(std::string(err.what())));
    }
}

/// Runs `body`; returns the text of an ordinary error it raised, or nothing on success.
template <typename Body>
std::optional<std::string> ordinary_error(Body&& body) {
    try {
        body();
        return std::nullopt;
    } catch (py::error_already_set& err) {
        if (!is_ordinary(err)) throw;
        return error_text(err);
    } catch (const std::exception& err) {
        return std::string(err.what());
    }
}

/// Python's truth test; an error raised by __bool__ or __len__ propagates.
bool truthy(py::handle obj);

/// Python's `item in container`, falling back to iteration as the operator does.
bool contains(py::handle container, py::handle item);

/// float(value) when that succeeds and gives a finite number; nothing when float() raises
/// ValueError or TypeError, or the number is infinite or NaN (such marks corrupt totals).
/// Other errors propagate.
std::optional<double> finite_float(py::handle value);

/// The attribute an interrupted or cancelled batch leaves on its KeyboardInterrupt or
/// CancelledError: the result records of the items that finished, so the caller can keep
/// work already paid for before the interrupt goes on.
inline constexpr const char* kPartialResults = "partial_results";

/// Leaves `results` on the error as its partial results.
void attach_partial_results(const py::error_already_set& err, py::handle results);

/// The partial results left on the error, or None.
py::object partial_results(const py::error_already_set& err);

/// Prints one line through Python's print(), so sys.stdout redirection applies.
void print_line(std::string_view text);

/// Fills a message template (fmt syntax, named or positional arguments).
template <typename... Args>
std::string fill(const char* tmpl, const Args&... args) {
    return fmt::format(fmt::runtime(tmpl), args...);
}

/// Prints a filled template as one line on sys.stdout.
template <typename... Args>
void say(const char* tmpl, const Args&... args) {
    print_line(fill(tmpl, args...));
}

/// Imports `module` and returns its attribute `name`, looked up now (never cached),
/// so that monkeypatching the module is seen.
py::object module_attr(const char* module, const char* name);

/// Replaces the file at `path` (str or path-like) with `contents` atomically, without the
/// GIL while writing; a failure is raised as the OSError subclass Python would raise.
void write_file_atomically(py::handle path, const std::string& contents);

/// python-dotenv's `load_dotenv()`. Its default search walks up from the calling script,
/// and fails when there is none (a program read from standard input): the search then
/// starts from the current directory. A dotenv file that cannot be read never stops the
/// caller: the environment simply lacks its entries.
void load_dotenv();

}  // namespace tovrane::py_util
