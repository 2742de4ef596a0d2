// How a class is bound: the one way to give a class an __init__ that also sets instance
// attributes, on pybind11's public API.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace tovrane::py_util {

namespace py = pybind11;

/// Defines `cls.__init__(self, args...)`: pybind11's own constructor builds the native
/// part (its default constructor) and then `set_attributes(self, args...)` fills the
/// instance dictionary, in its order. `extra` names the arguments (py::arg, py::kw_only).
/// The generated constructor stays reachable only through this one, so an instance never
/// exists without its native part, and a Python subclass may call it through super().
template <typename Class, typename... Args, typename... Extra>
void def_init(Class& cls, void (*set_attributes)(py::object, Args...), const Extra&... extra) {
    cls.def(py::init<>());
    py::object build_native = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [build_native, set_attributes](py::object self, Args... args) {
            build_native(self);
            set_attributes(std::move(self), std::move(args)...);
        },
        py::name("__init__"), py::is_method(cls), extra...);
}

}  // namespace tovrane::py_util
