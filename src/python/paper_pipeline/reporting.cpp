// Validation, summary, console report, evaluation input record and saving of a question paper.
#include <algorithm>
#include <cmath>
#include <system_error>

#include "engine/io/atomic_file.hpp"
#include "engine/text/paper_report.hpp"
#include "engine/text/paper_texts.hpp"
#include "paper_pipeline/ops.hpp"
#include "paper_pipeline/support.hpp"

namespace tovrane::paper {

namespace t = text::paper;
using namespace detail;
using namespace pybind11::literals;

namespace {

void require_paper(py::handle question_paper) {
    if (question_paper.is_none()) raise(PyExc_ValueError, t::kNoPaper);
}

// The value itself when present and not empty, else the empty text.
py::object or_empty(py::handle value) {
    return truthy(value) ? py::reinterpret_borrow<py::object>(value) : py::str("");
}

// str(value) when present and not empty, else the empty text.
std::string text_or_empty(py::handle value) {
    return truthy(value) ? text(value) : std::string();
}

py::list criterion_entries(py::handle rubric) {
    py::list entries;
    if (rubric.is_none()) return entries;
    for (py::handle c : rubric.attr("criteria"))
        entries.append(py::dict("statement"_a = c.attr("statement"), "mark"_a = c.attr("mark"),
                                "is_fulfilled"_a = c.attr("is_fulfilled")));
    return entries;
}

std::string preview(py::handle question_text) {
    py::str full(question_text);
    if (py::len(full) <= static_cast<std::size_t>(t::kPreviewLength)) return text(full);
    return text(full[py::slice(0, t::kPreviewLength, 1)]) + t::kPreviewEllipsis;
}

std::string json_document(py::object self, py::handle question_paper, py::handle answer_pages) {
    py::object record = self.attr("get_input_data_format")(question_paper, answer_pages);
    return py_util::module_attr("json", "dumps")(record, "indent"_a = 4, "ensure_ascii"_a = false)
        .cast<std::string>();
}

std::string text_document(py::handle question_paper) {
    text::PaperReport report;
    report.subject = text_or_empty(question_paper.attr("subject"));
    report.class_level = text_or_empty(question_paper.attr("class_level"));
    py::object ids = question_paper.attr("get_question_ids")();
    report.question_count = len_text(ids);
    report.total_marks = text(question_paper.attr("get_total_marks")());
    for (py::handle q_id : ids) {
        py::object q = question_paper.attr("get_question")(q_id);
        report.questions.push_back({text(q.attr("q_id")), text(q.attr("max_marks")), text(q.attr("text")),
                                    text_or_empty(optional_attr(q, "reference_answer"))});
    }
    return text::render_paper_report(report);
}

// Raises the OSError subclass Python would (PermissionError, IsADirectoryError, ...).
[[noreturn]] void raise_os_error(const std::system_error& err, const std::string& path) {
    py::object error = py::reinterpret_borrow<py::object>(PyExc_OSError)(err.code().value(),
                                                                         err.code().message(), path);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

void write_atomically(const std::string& path, const std::string& contents) {
    try {
        py::gil_scoped_release unlocked;
        io::write_file_atomic(path, contents);
    } catch (const std::system_error& err) {
        raise_os_error(err, path);
    }
}

// Warnings about the question's rubric and reference answer: generation that failed, and
// a rubric whose marks do not add up to the question's.
void check_products(py::handle q_id, py::handle q, py::list& warnings) {
    py::object rubric = optional_attr(q, "rubric");
    if (has_criteria(rubric)) {
        py::object total = rubric.attr("total_marks")();
        py::object max_marks = q.attr("max_marks");
        const double a = py::float_(total).cast<double>(), b = py::float_(max_marks).cast<double>();
        if (std::fabs(a - b) > 1e-9 * std::max({1.0, std::fabs(a), std::fabs(b)})) {
            warnings.append(fill(t::kWarningRubricTotal, fmt::arg("q_id", text(q_id)), fmt::arg("total", text(total)),
                                 fmt::arg("max_marks", text(max_marks))));
        }
    } else if (py::object reason = optional_attr(q, "rubric_error"); !reason.is_none()) {
        warnings.append(fill(t::kWarningNoRubric, fmt::arg("q_id", text(q_id)), fmt::arg("reason", text(reason))));
    }
    py::object answer = optional_attr(q, "reference_answer");
    const bool answered = !answer.is_none() && py::len(answer.attr("strip")()) > 0;
    if (py::object reason = optional_attr(q, "reference_answer_error"); !answered && !reason.is_none()) {
        warnings.append(fill(t::kWarningNoReference, fmt::arg("q_id", text(q_id)), fmt::arg("reason", text(reason))));
    }
}

}  // namespace

py::dict validate_processing(py::object, py::object question_paper) {
    if (question_paper.is_none()) return py::dict("valid"_a = false, "error"_a = t::kNoPaperProvided);
    py::list issues, warnings;
    py::object ids = question_paper.attr("get_question_ids")();
    for (py::handle q_id : ids) {
        py::object q = question_paper.attr("get_question")(q_id);
        if (py::object(q.attr("max_marks")) <= py::int_(0))
            issues.append(fill(t::kIssueNoMarks, fmt::arg("q_id", text(q_id))));
        if (py::len(q.attr("text").attr("strip")()) < 10)
            warnings.append(fill(t::kWarningShortText, fmt::arg("q_id", text(q_id))));
        check_products(q_id, q, warnings);
    }
    py::object total = question_paper.attr("get_total_marks")();
    if (total.equal(py::int_(0))) issues.append(t::kIssueTotalZero);
    return py::dict("valid"_a = issues.empty(), "issues"_a = issues, "warnings"_a = warnings,
                    "total_marks"_a = total, "question_count"_a = py::len(ids));
}

py::dict get_summary(py::object self, py::object question_paper) {
    if (question_paper.is_none()) return py::dict("error"_a = t::kNoPaperProvided);
    py::object questions = question_paper.attr("get_all_questions")();
    py::dict distribution;
    for (py::handle item : questions.attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        distribution[pair[0]] = pair[1].attr("max_marks");
    }
    py::object extracted = optional_attr(self, "extracted_texts");
    py::list pages = extracted.is_none() ? py::list() : py::list(extracted.attr("keys")());
    return py::dict("total_questions"_a = py::len(questions),
                    "total_marks"_a = question_paper.attr("get_total_marks")(),
                    "question_ids"_a = question_paper.attr("get_question_ids")(),
                    "marks_distribution"_a = distribution, "extracted_pages"_a = pages);
}

void print_summary(py::object self, py::object question_paper) {
    py::object summary = self.attr("get_summary")(question_paper);
    if (contains(summary, py::str("error"))) {
        say(t::kSummaryError, fmt::arg("error", text(summary["error"])));
        return;
    }
    say(t::kSummaryTop);
    say(t::kSummaryTitle);
    say(t::kSummaryRule);
    say(t::kSummaryQuestions, fmt::arg("total_questions", text(summary["total_questions"])));
    say(t::kSummaryMarks, fmt::arg("total_marks", text(summary["total_marks"])));
    say(t::kSummaryPages, fmt::arg("extracted_pages", text(summary["extracted_pages"])));

    py::object validation = self.attr("validate_processing")(question_paper);
    if (truthy(validation["valid"])) {
        say(t::kSummaryPassed);
    } else {
        say(t::kSummaryIssues);
        for (py::handle issue : validation["issues"]) say(t::kSummaryIssue, fmt::arg("issue", text(issue)));
    }
    py::object warnings = validation["warnings"];
    if (truthy(warnings)) {
        say(t::kSummaryWarnings);
        for (py::handle warning : warnings) say(t::kSummaryWarning, fmt::arg("warning", text(warning)));
    }

    say(t::kSummaryOverview);
    for (py::handle item : summary["marks_distribution"].attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::object q = question_paper.attr("get_question")(pair[0]);
        say(t::kSummaryQuestion, fmt::arg("q_id", text(pair[0])), fmt::arg("preview", preview(q.attr("text"))),
            fmt::arg("marks", text(pair[1])));
    }
    say(t::kSummaryRule);
}

py::dict get_input_data_format(py::object, py::object question_paper, py::object answer_pages) {
    require_paper(question_paper);
    py::list questions;
    for (py::handle q_id : question_paper.attr("get_question_ids")()) {
        py::object q = question_paper.attr("get_question")(q_id);
        questions.append(py::dict("qid"_a = q.attr("q_id"), "question"_a = q.attr("text"),
                                  "max_marks"_a = q.attr("max_marks"), "student_answer"_a = "",
                                  "ref_answer"_a = or_empty(optional_attr(q, "reference_answer")),
                                  "rubric"_a = criterion_entries(optional_attr(q, "rubric"))));
    }
    return py::dict("class"_a = question_paper.attr("class_level"), "subject"_a = question_paper.attr("subject"),
                    "answer_pages"_a = answer_pages, "questions"_a = questions);
}

void save_to_file(py::object self, py::object question_paper, py::object output_path, py::object answer_pages,
                  py::object format) {
    require_paper(question_paper);
    py::object directory = py_util::module_attr("os.path", "dirname")(output_path);
    if (truthy(directory)) py_util::module_attr("os", "makedirs")(directory, "exist_ok"_a = true);

    bool as_json = py::str(format).attr("lower")().equal(py::str("json"));
    std::string contents = as_json ? json_document(self, question_paper, answer_pages)
                                   : text_document(question_paper);
    std::string path = text(py_util::module_attr("os", "fspath")(output_path));
    write_atomically(path, contents);
    say(t::kSaved, fmt::arg("output_path", text(output_path)));
}

}  // namespace tovrane::paper
