// Python-semantics helpers shared by every extension module.
#include "common/pyutil.hpp"

namespace tovrane::py_util {

bool is_ordinary(const py::error_already_set& err) {
    return err.matches(PyExc_Exception);
}

std::string error_text(const py::error_already_set& err) {
    return py::str(err.value()).cast<std::string>();
}

std::string str(py::handle obj) {
    return py::str(obj).cast<std::string>();
}

void raise(py::handle type, const std::string& message) {
    PyErr_SetString(type.ptr(), message.c_str());
    throw py::error_already_set();
}

void raise_from(py::error_already_set& cause, py::handle type, const std::string& message) {
    py::raise_from(cause, type.ptr(), message.c_str());
    throw py::error_already_set();
}

bool truthy(py::handle obj) {
    const int result = PyObject_IsTrue(obj.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

bool contains(py::handle container, py::handle item) {
    const int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw py::error_already_set();
    return found != 0;
}

void print_line(std::string_view text) {
    py::print(py::str(text.data(), text.size()));
}

py::object module_attr(const char* module, const char* name) {
    return py::module_::import(module).attr(name);
}

}  // namespace tovrane::py_util
