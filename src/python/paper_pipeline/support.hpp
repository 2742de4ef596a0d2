// Helpers shared by the question paper pipeline's operations: messages, errors, lookups.
#pragma once

#include <pybind11/pybind11.h>
#include <fmt/format.h>

#include <optional>
#include <string>

#include "common/pyutil.hpp"

namespace tovrane::paper::detail {

namespace py = pybind11;

/// Fills one of the message templates with named arguments.
template <typename... Args>
std::string fill(const char* tmpl, const Args&... args) {
    return fmt::format(fmt::runtime(tmpl), args...);
}

/// Prints a filled template as one line on sys.stdout.
template <typename... Args>
void say(const char* tmpl, const Args&... args) {
    py_util::print_line(fill(tmpl, args...));
}

/// Raises the Python error `type` with `message`.
[[noreturn]] void raise(PyObject* type, const std::string& message);

/// str(obj).
inline std::string text(py::handle obj) { return py_util::str(obj); }

using py_util::truthy;

/// str(len(obj)): counts as Python counts (code points for text).
std::string len_text(py::handle obj);

using py_util::contains;

/// getattr(obj, name, None): the document model's optional members may be missing on
/// hand-made objects; missing counts as absent.
py::object optional_attr(py::handle obj, const char* name);

/// True when a rubric is present and has at least one criterion.
bool has_criteria(py::handle rubric);

/// The module's `ExtractorClient` / `ModelBroker`, looked up now so a patched module is seen.
py::object extractor_client_class();
py::object model_broker_class();

/// Runs `body`; an error of an ordinary kind is re-raised as RuntimeError with the message
/// `wrap(text of the error)`, chained to it. Other errors (cancellation, exit) pass through.
template <typename Body, typename Wrap>
decltype(auto) wrap_errors(Body&& body, Wrap&& wrap) {
    try {
        return body();
    } catch (py::error_already_set& err) {
        if (!py_util::is_ordinary(err)) throw;
        std::string message = wrap(py_util::error_text(err));
        py::raise_from(err, PyExc_RuntimeError, message.c_str());
        throw py::error_already_set();
    } catch (const std::exception& err) {
        raise(PyExc_RuntimeError, wrap(std::string(err.what())));
    }
}

/// Runs `body`; returns the text of an ordinary error it raised, or nothing on success.
template <typename Body>
std::optional<std::string> ordinary_error(Body&& body) {
    try {
        body();
        return std::nullopt;
    } catch (py::error_already_set& err) {
        if (!py_util::is_ordinary(err)) throw;
        return py_util::error_text(err);
    } catch (const std::exception& err) {
        return std::string(err.what());
    }
}

}  // namespace tovrane::paper::detail
