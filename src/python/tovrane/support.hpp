// Helpers shared by the facade's operations: messages, error classes, guards, lookups.
#pragma once

#include <pybind11/pybind11.h>
#include <fmt/format.h>

#include <initializer_list>
#include <optional>
#include <string>

#include "common/pyutil.hpp"

namespace tovrane::facade::detail {

namespace py = pybind11;

using py_util::dict_copy;
using py_util::snapshot;
inline bool truth_of(py::handle value) { return py_util::truthy(value); }

using py_util::legacy::fill;
using py_util::legacy::say;

// ---- error classes ---------------------------------------------------------------------

/// Creates TovraneError and its three subclasses and adds them to the module.
void create_error_classes(py::module_& m);

py::handle tovrane_error();
py::handle configuration_error();
py::handle processing_error();
py::handle validation_error();

using py_util::raise;
using py_util::raise_from_cause;

/// Runs `body`. An error of an ordinary kind whose type is not among `keep` is re-raised as
/// `as` with the message `wrap(text of the error)`; cancellation and exits pass through.
template <typename Body, typename Wrap>
decltype(auto) guarded(Body&& body, py::handle as, Wrap&& wrap, std::initializer_list<py::handle> keep = {}) {
    try {
        return body();
    } catch (py::error_already_set& err) {
        if (!py_util::is_ordinary(err)) throw;
        for (py::handle type : keep) {
            if (err.matches(type)) throw;
        }
        raise_from_cause(err, as, wrap(py_util::error_text(err)));
    } catch (const std::exception& err) {
        raise(as, wrap(std::string(err.what())));
    }
}

using py_util::ordinary_error;

// ---- Python semantics ------------------------------------------------------------------

/// str(obj).
inline std::string text(py::handle obj) { return py_util::str(obj); }

/// `item in container`.
bool contains(py::handle container, py::handle item);

/// isinstance(obj, cls).
bool is_instance(py::handle obj, py::handle cls);

/// str(len(obj)).
std::string len_text(py::handle obj);

using py_util::finite_float;

/// finite_float(value) when it is at least 0 (a criterion mark).
std::optional<double> non_negative_number(py::handle value);

/// finite_float(value) when it is greater than 0 (a question's marks).
std::optional<double> positive_number(py::handle value);

/// The record under `key`, or `fallback` when absent (record.get(key, fallback)).
py::object get_or(py::handle record, const char* key, py::object fallback);

// ---- entry checks (type errors raised before an operation starts) ----------------------

/// TypeError "{name} must be {expected}, not {type of value}".
[[noreturn]] void bad_argument(py::handle value, const char* name, const char* expected);
void require_text(py::handle value, const char* name);
void require_list_or_none(py::handle value, const char* name);
void require_exact_list(py::handle value, const char* name);
void require_dict(py::handle value, const char* name);

// ---- classes looked up at call time, so a patched module is seen -----------------------

py::object question_paper_class();
py::object question_class();
py::object rubric_class();
py::object criterion_class();
py::object answersheet_class();
py::object model_broker_class();
py::object extractor_client_class();
py::object paper_pipeline_class();
py::object sheet_pipeline_class();
py::object config_class();
py::object tovrane_class();

/// Replaces the outcome record under `key` in the instance's last_processing_summary.
void record_outcome(py::handle self, const char* key, const py::dict& record);

}  // namespace tovrane::facade::detail
