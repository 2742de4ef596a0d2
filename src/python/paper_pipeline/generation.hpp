// Rubric and reference-answer generation: the two products share one walk, described by a Kind.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace tovrane::paper::detail {

namespace py = pybind11;

/// What differs between generating rubrics and generating reference answers.
struct Kind {
    const char* opening;          // all-questions run, first line
    const char* nothing;          // nothing selected
    const char* batch_sync;       // broker batch operations
    const char* batch_async;
    const char* fallback_method;  // the pipeline's own fallback, called through self
    const char* result_key;       // product key in a batch result record
    const char* error_attr;       // the question's note of why generating the product failed
    const char* batch_done;
    const char* batch_error;
    const char* closing;
    const char* fallback_opening;
    const char* fallback_item;
    const char* fallback_done;
    const char* fallback_error;
    /// Prints the skip line and returns None, or returns the work record of a question.
    py::object (*select)(py::handle paper, py::handle q_id, py::handle question);
    /// The single broker call of the fallback, arguments taken from a work record.
    py::object (*generate)(py::handle broker, py::handle record);
    /// Stores the product into its question.
    void (*store)(py::handle question, py::handle product);
    /// Prints a success line (`tmpl`) about a product.
    void (*announce)(const char* tmpl, const std::string& q_id, py::handle product);
};

extern const Kind kRubrics;
extern const Kind kAnswers;

/// Opening line, selection with its skip lines; the work records of the selected questions.
py::list select_work(py::handle question_paper, const Kind& kind);

/// Attaches the products of successful batch result records and reports the failed ones;
/// prints the closing line and returns identifier -> product.
py::dict apply_results(py::handle question_paper, py::handle results, const Kind& kind);

/// After the batch was interrupted or cancelled: attaches the products it finished, which
/// the error carries, so that work already paid for is kept.
void keep_finished(py::handle question_paper, const py::error_already_set& err, const Kind& kind);

}  // namespace tovrane::paper::detail
