// Pieces the facade's own files share: its error classes, argument checks, the number
// rules of imported marks, the outcome record. Not bound to Python.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

#include "common/errors.hpp"

namespace tovrane::facade {

namespace py = pybind11;

// ---- error classes, created with the module --------------------------------------------------

py::handle tovrane_error();
py::handle configuration_error();
py::handle processing_error();
py::handle validation_error();

// ---- entry checks (type errors raised before an operation starts) ---------------------------

inline void require_list_or_none(py::handle value, const char* name) {
    if (!value.is_none() && !PyList_Check(value.ptr())) py_util::wrong_type(name, "a list or None", value);
}

inline void require_exact_list(py::handle value, const char* name) {
    if (!PyList_CheckExact(value.ptr())) py_util::wrong_type(name, "a list", value);
}

inline void require_dict(py::handle value, const char* name) {
    if (!PyDict_Check(value.ptr())) py_util::wrong_type(name, "a dict", value);
}

// ---- marks read from plain records -----------------------------------------------------------

/// finite_float(value) when it is at least 0 (a criterion mark).
std::optional<double> non_negative_number(py::handle value);

/// finite_float(value) when it is greater than 0 (a question's marks).
std::optional<double> positive_number(py::handle value);

// ---- the record of what happened -------------------------------------------------------------

/// Replaces the outcome record under `key` in the instance's last_processing_summary.
void record_outcome(py::handle self, const char* key, const py::dict& record);

/// record.get(key, fallback).
py::object get_or(py::handle record, const char* key, py::object fallback);

}  // namespace tovrane::facade
