// Python's own semantics from C++.
#include "common/python.hpp"

#include <cmath>

#include "common/python_texts.hpp"

namespace tovrane::py_util {

using text::python::kEllipsis;

std::string str(py::handle obj) {
    return py::str(obj).cast<std::string>();
}

std::string repr_text(py::handle obj) {
    return py::repr(obj).cast<std::string>();
}

std::string type_name(py::handle obj) {
    return str(py::type::handle_of(obj).attr("__name__"));
}

std::string len_text(py::handle obj) {
    return std::to_string(py::len(obj));
}

std::string encode_utf8(py::handle text) {
    if (!PyUnicode_Check(text.ptr())) return py::bytes(text.attr("encode")("utf-8", "surrogatepass"));
    PyObject* utf8 = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass");
    if (!utf8) throw py::error_already_set();
    return std::string(py::reinterpret_steal<py::bytes>(utf8));
}

std::string str_lossless(py::handle obj) {
    return encode_utf8(py::str(obj));
}

py::str to_py(std::string_view utf8) {
    PyObject* text = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
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

bool is_instance(py::handle obj, py::handle cls) {
    const int result = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

std::optional<double> finite_float(py::handle value) {
    PyObject* number = PyNumber_Float(value.ptr());
    if (number == nullptr) {
        // An int beyond the float range (10**400) is no finite number either.
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError) ||
            PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            return std::nullopt;
        }
        throw py::error_already_set();
    }
    const double result = PyFloat_AsDouble(number);
    Py_DECREF(number);
    if (!std::isfinite(result)) return std::nullopt;
    return result;
}

py::list snapshot(py::handle items) {
    auto copy = py::reinterpret_steal<py::list>(PySequence_List(items.ptr()));
    if (!copy) throw py::error_already_set();
    return copy;
}

py::dict dict_copy(py::handle items) {
    auto copy = py::reinterpret_steal<py::dict>(PyDict_Copy(items.ptr()));
    if (!copy) throw py::error_already_set();
    return copy;
}

py::object module_attr(const char* module, const char* name) {
    return py::module_::import(module).attr(name);
}

Clipped clip(py::handle text, std::size_t limit) {
    py::str full(text);
    if (py::len(full) <= limit) return {full, false};
    return {py::str(py::object(full[py::slice(0, static_cast<py::ssize_t>(limit), 1)])), true};
}

std::string preview(py::handle text, std::size_t limit) {
    Clipped clipped = clip(text, limit);
    std::string out = str(clipped.head);
    if (clipped.cut) out += kEllipsis;
    return out;
}

void print_line(std::string_view text) {
    py::print(py::str(text.data(), text.size()));
}

}  // namespace tovrane::py_util
