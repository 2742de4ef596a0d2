// Raising, wrapping and telling apart Python errors.
#include "common/errors.hpp"

#include "common/python.hpp"
#include "common/python_texts.hpp"

namespace tovrane::py_util {

namespace texts = tovrane::text::python;
using namespace fmt::literals;

bool is_ordinary(const py::error_already_set& err) {
    return err.matches(PyExc_Exception);
}

std::string error_text(const py::error_already_set& err) {
    return str(err.value());
}

void raise(py::handle type, std::string_view message) {
    PyErr_SetString(type.ptr(), std::string(message).c_str());
    throw py::error_already_set();
}

void raise_from_cause(py::error_already_set& cause, py::handle type, std::string_view message) {
    py::raise_from(cause, type.ptr(), std::string(message).c_str());
    throw py::error_already_set();
}

void raise_instance(py::handle error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

namespace detail {

Caught caught_ordinary() {
    try {
        throw;
    } catch (py::error_already_set& err) {
        if (!is_ordinary(err)) throw;
        std::string text = error_text(err);
        return {std::move(err), std::move(text)};
    } catch (const py::builtin_exception& err) {
        err.set_error();
        py::error_already_set python;
        std::string text = error_text(python);
        return {std::move(python), std::move(text)};
    } catch (const std::exception& err) {
        return {std::nullopt, err.what()};
    }
}

}  // namespace detail

void wrong_type(std::string_view name, std::string_view expected, py::handle value) {
    raise(PyExc_TypeError,
          fmt::format(texts::kWrongType, "name"_a = name, "expected"_a = expected, "type"_a = type_name(value)));
}

std::string argument_of(std::string_view function, std::string_view argument) {
    return fmt::format(texts::kArgumentOf, "function"_a = function, "argument"_a = argument);
}

void require_str(py::handle value, std::string_view name) {
    if (!PyUnicode_Check(value.ptr())) wrong_type(name, "str", value);
}

void require_instance(py::handle value, py::handle type, std::string_view name, std::string_view expected) {
    if (!is_instance(value, type)) wrong_type(name, expected, value);
}

void attach_partial_results(py::handle error, py::handle results) {
    py::setattr(error, kPartialResults, results);
}

py::object partial_results(const py::error_already_set& err) {
    return py::getattr(err.value(), kPartialResults, py::none());
}

}  // namespace tovrane::py_util
