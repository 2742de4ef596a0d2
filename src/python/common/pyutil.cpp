// Python-semantics helpers shared by every extension module.
#include "common/pyutil.hpp"

#include <cmath>
#include <system_error>

#include "engine/io/atomic_file.hpp"

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

std::optional<double> finite_float(py::handle value) {
    PyObject* number = PyNumber_Float(value.ptr());
    if (number == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return std::nullopt;
        }
        throw py::error_already_set();
    }
    double result = PyFloat_AsDouble(number);
    Py_DECREF(number);
    if (!std::isfinite(result)) return std::nullopt;
    return result;
}

void attach_partial_results(const py::error_already_set& err, py::handle results) {
    py::setattr(err.value(), kPartialResults, results);
}

py::object partial_results(const py::error_already_set& err) {
    return py::getattr(err.value(), kPartialResults, py::none());
}

void print_line(std::string_view text) {
    py::print(py::str(text.data(), text.size()));
}

py::object module_attr(const char* module, const char* name) {
    return py::module_::import(module).attr(name);
}

void write_file_atomically(py::handle path, const std::string& contents) {
    std::string target = module_attr("os", "fsencode")(path).cast<std::string>();
    try {
        py::gil_scoped_release unlocked;
        io::write_file_atomic(target, contents);
    } catch (const std::system_error& err) {
        const int code = err.code().value();
        py::object error = py::reinterpret_borrow<py::object>(PyExc_OSError)(code, module_attr("os", "strerror")(code),
                                                                             module_attr("os", "fspath")(path));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        throw py::error_already_set();
    }
}

void load_dotenv() {
    if (!ordinary_error([] { module_attr("dotenv", "load_dotenv")(); })) return;
    ordinary_error([] {
        py::object path = module_attr("dotenv", "find_dotenv")(py::arg("usecwd") = true);
        module_attr("dotenv", "load_dotenv")(path);
    });
}

}  // namespace tovrane::py_util
