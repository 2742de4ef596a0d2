// Python's own semantics from C++: str(), len(), truth, membership, numbers, printing.
#pragma once

#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tovrane::py_util {

namespace py = pybind11;

/// str(obj) as UTF-8; a text with lone surrogates raises, as encoding it would.
std::string str(py::handle obj);

/// repr(obj) as UTF-8.
std::string repr_text(py::handle obj);

/// type(obj).__name__.
std::string type_name(py::handle obj);

/// str(len(obj)): counts as Python counts (code points for text).
std::string len_text(py::handle obj);

/// The UTF-8 bytes of the str `text` with lone surrogates kept ("surrogatepass"), so that
/// any text str() can produce travels through C++ intact.
std::string encode_utf8(py::handle text);

/// str(obj) as UTF-8 with lone surrogates kept, for texts that must travel intact (the
/// prompts, whatever str() gives for the values in them).
std::string str_lossless(py::handle obj);

/// The str of UTF-8 bytes, lone surrogates allowed ("surrogatepass").
py::str to_py(std::string_view utf8);

/// An int that is no bool: a count of something (bool is an int to Python).
inline bool is_plain_int(py::handle value) { return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()); }

/// Python's truth test; an error raised by __bool__ or __len__ propagates.
bool truthy(py::handle obj);

/// Python's `item in container`, falling back to iteration as the operator does.
bool contains(py::handle container, py::handle item);

/// isinstance(obj, cls); an error raised by __instancecheck__ propagates.
bool is_instance(py::handle obj, py::handle cls);

/// float(value) when that succeeds and gives a finite number; nothing when float() raises
/// ValueError or TypeError, or the number is infinite or NaN (such marks corrupt totals).
/// Other errors propagate.
std::optional<double> finite_float(py::handle value);

/// list(items): a new list, safe to walk while Python code runs and changes the original.
py::list snapshot(py::handle items);

/// A new dict with the entries of the dict `items`, in their order.
py::dict dict_copy(py::handle items);

/// Imports `module` and returns its attribute `name`, looked up now (never cached), so
/// that monkeypatching the module is seen.
py::object module_attr(const char* module, const char* name);

/// The first `limit` code points of str(text), and whether anything was cut off.
struct Clipped {
    py::str head;
    bool cut;
};
Clipped clip(py::handle text, std::size_t limit);

/// str(text) cut to `limit` code points, a cut marked by "...".
std::string preview(py::handle text, std::size_t limit);

/// Prints one line through Python's print(), so sys.stdout redirection applies.
void print_line(std::string_view text);

/// Prints one line made from an exact text and its named values (fmt's "name"_a = value),
/// checked against the text when compiled.
template <typename... Args>
void say(fmt::format_string<Args...> text, Args&&... args) {
    print_line(fmt::format(text, std::forward<Args>(args)...));
}

}  // namespace tovrane::py_util
