// Pieces the facade's own files share.
#include "tovrane/internal.hpp"

#include <fmt/format.h>

#include <string>

#include "common/names.hpp"
#include "common/python.hpp"
#include "engine/grading/marks.hpp"
#include "tovrane/operations.hpp"

namespace tovrane::facade {

namespace {

// Module-level classes live as long as the interpreter; these references are never dropped.
PyObject* g_tovrane_error = nullptr;
PyObject* g_configuration_error = nullptr;
PyObject* g_processing_error = nullptr;
PyObject* g_validation_error = nullptr;

PyObject* new_error_class(py::module_& m, const char* name, const char* doc, PyObject* base) {
    const std::string qualified = fmt::format("{}.{}", names::kFacadeModule, name);
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (cls == nullptr) throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(cls));
    return cls;
}

}  // namespace

void create_error_classes(py::module_& m) {
    g_tovrane_error = new_error_class(m, "TovraneError", "Base exception for Tovrane errors.", PyExc_Exception);
    g_configuration_error = new_error_class(m, "ConfigurationError", "Raised when there's an error in configuration.",
                                            g_tovrane_error);
    g_processing_error =
        new_error_class(m, "ProcessingError", "Raised when there's an error during processing.", g_tovrane_error);
    g_validation_error = new_error_class(m, "ValidationError", "Raised when validation fails.", g_tovrane_error);
}

py::handle tovrane_error() { return g_tovrane_error; }
py::handle configuration_error() { return g_configuration_error; }
py::handle processing_error() { return g_processing_error; }
py::handle validation_error() { return g_validation_error; }

std::optional<double> non_negative_number(py::handle value) {
    std::optional<double> number = py_util::finite_float(value);
    if (number && !grading::valid_criterion_mark(*number)) return std::nullopt;
    return number;
}

std::optional<double> positive_number(py::handle value) {
    std::optional<double> number = py_util::finite_float(value);
    if (number && !grading::valid_question_marks(*number)) return std::nullopt;
    return number;
}

void record_outcome(py::handle self, const char* key, const py::dict& record) {
    self.attr("last_processing_summary")[key] = record;
}

py::object get_or(py::handle record, const char* key, py::object fallback) {
    return record.attr("get")(key, std::move(fallback));
}

}  // namespace tovrane::facade
