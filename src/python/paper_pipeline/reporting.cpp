// Validation, summary, console report, evaluation input record and saving of a question paper.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/python.hpp"
#include "engine/text/paper_pipeline_texts.hpp"
#include "engine/text/paper_report.hpp"
#include "paper_pipeline/internal.hpp"
#include "paper_pipeline/operations.hpp"

namespace tovrane::paper_pipeline {

namespace texts = tovrane::text::paper_pipeline;
using namespace fmt::literals;
using namespace py_util;

namespace {

// The value itself when present and not empty, else the empty text.
py::object or_empty(py::handle value) {
    return truthy(value) ? py::reinterpret_borrow<py::object>(value) : py::str("");
}

// str(value) when present and not empty, else the empty text.
std::string text_or_empty(py::handle value) {
    return truthy(value) ? str(value) : std::string();
}

py::list criterion_entries(py::handle rubric) {
    py::list entries;
    if (rubric.is_none()) return entries;
    for (py::handle c : rubric.attr("criteria"))
        entries.append(py::dict(py::arg("statement") = c.attr("statement"), py::arg("mark") = c.attr("mark"),
                                py::arg("is_fulfilled") = c.attr("is_fulfilled")));
    return entries;
}

std::string json_document(py::object self, py::handle question_paper, py::handle answer_pages) {
    py::object record = self.attr("get_input_data_format")(question_paper, answer_pages);
    return json_text(record);
}

std::string text_document(py::handle question_paper) {
    text::PaperReport report;
    report.subject = text_or_empty(question_paper.attr("subject"));
    report.class_level = text_or_empty(question_paper.attr("class_level"));
    py::object ids = question_paper.attr("get_question_ids")();
    report.question_count = len_text(ids);
    report.total_marks = str(question_paper.attr("get_total_marks")());
    for (py::handle q_id : ids) {
        py::object q = question_paper.attr("get_question")(q_id);
        report.questions.push_back({str(q.attr("q_id")), str(q.attr("max_marks")), str(q.attr("text")),
                                    text_or_empty(py::getattr(q, "reference_answer", py::none()))});
    }
    return text::render_paper_report(report);
}

// Warnings about the question's rubric and reference answer: generation that failed, and
// a rubric whose marks do not add up to the question's.
void check_products(py::handle q_id, py::handle q, py::list& warnings) {
    py::object rubric = py::getattr(q, "rubric", py::none());
    if (has_criteria(rubric)) {
        py::object total = rubric.attr("total_marks")();
        py::object max_marks = q.attr("max_marks");
        const double a = py::float_(total).cast<double>(), b = py::float_(max_marks).cast<double>();
        if (std::fabs(a - b) > 1e-9 * std::max({1.0, std::fabs(a), std::fabs(b)})) {
            warnings.append(fmt::format(texts::kWarningRubricTotal, "q_id"_a = str(q_id), "total"_a = str(total),
                                        "max_marks"_a = str(max_marks)));
        }
    } else if (py::object reason = py::getattr(q, "rubric_error", py::none()); !reason.is_none()) {
        warnings.append(fmt::format(texts::kWarningNoRubric, "q_id"_a = str(q_id), "reason"_a = str(reason)));
    }
    py::object answer = py::getattr(q, "reference_answer", py::none());
    const bool answered = !answer.is_none() && py::len(answer.attr("strip")()) > 0;
    if (py::object reason = py::getattr(q, "reference_answer_error", py::none()); !answered && !reason.is_none()) {
        warnings.append(fmt::format(texts::kWarningNoReference, "q_id"_a = str(q_id), "reason"_a = str(reason)));
    }
}

}  // namespace

py::dict validate_processing(py::object, py::object question_paper) {
    if (question_paper.is_none()) {
        return py::dict(py::arg("valid") = false, py::arg("error") = to_py(texts::kNoPaperProvided));
    }
    py::list issues, warnings;
    py::object ids = question_paper.attr("get_question_ids")();
    for (py::handle q_id : ids) {
        py::object q = question_paper.attr("get_question")(q_id);
        if (py::object(q.attr("max_marks")) <= py::int_(0))
            issues.append(fmt::format(texts::kIssueNoMarks, "q_id"_a = str(q_id)));
        if (py::len(q.attr("text").attr("strip")()) < 10)
            warnings.append(fmt::format(texts::kWarningShortText, "q_id"_a = str(q_id)));
        check_products(q_id, q, warnings);
    }
    py::object total = question_paper.attr("get_total_marks")();
    if (total.equal(py::int_(0))) issues.append(to_py(texts::kIssueTotalZero));
    return py::dict(py::arg("valid") = issues.empty(), py::arg("issues") = issues, py::arg("warnings") = warnings,
                    py::arg("total_marks") = total, py::arg("question_count") = py::len(ids));
}

py::dict get_summary(py::object self, py::object question_paper) {
    if (question_paper.is_none()) return py::dict(py::arg("error") = to_py(texts::kNoPaperProvided));
    py::object questions = question_paper.attr("get_all_questions")();
    py::dict distribution;
    for (py::handle item : questions.attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        distribution[pair[0]] = pair[1].attr("max_marks");
    }
    py::object extracted = py::getattr(self, "extracted_texts", py::none());
    py::list pages = extracted.is_none() ? py::list() : py::list(extracted.attr("keys")());
    return py::dict(py::arg("total_questions") = py::len(questions),
                    py::arg("total_marks") = question_paper.attr("get_total_marks")(),
                    py::arg("question_ids") = question_paper.attr("get_question_ids")(),
                    py::arg("marks_distribution") = distribution, py::arg("extracted_pages") = pages);
}

void print_summary(py::object self, py::object question_paper) {
    py::object summary = self.attr("get_summary")(question_paper);
    if (contains(summary, py::str("error"))) {
        say(texts::kSummaryError, "error"_a = str(summary["error"]));
        return;
    }
    say(texts::kSummaryTop);
    say(texts::kSummaryTitle);
    say(texts::kSummaryRule);
    say(texts::kSummaryQuestions, "total_questions"_a = str(summary["total_questions"]));
    say(texts::kSummaryMarks, "total_marks"_a = str(summary["total_marks"]));
    say(texts::kSummaryPages, "extracted_pages"_a = str(summary["extracted_pages"]));

    py::object validation = self.attr("validate_processing")(question_paper);
    if (truthy(validation["valid"])) {
        say(texts::kSummaryPassed);
    } else {
        say(texts::kSummaryIssues);
        for (py::handle issue : validation["issues"]) say(texts::kSummaryIssue, "issue"_a = str(issue));
    }
    py::object warnings = validation["warnings"];
    if (truthy(warnings)) {
        say(texts::kSummaryWarnings);
        for (py::handle warning : warnings) say(texts::kSummaryWarning, "warning"_a = str(warning));
    }

    say(texts::kSummaryOverview);
    for (py::handle item : summary["marks_distribution"].attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::object q = question_paper.attr("get_question")(pair[0]);
        say(texts::kSummaryQuestion, "q_id"_a = str(pair[0]),
            "preview"_a = preview(q.attr("text"), texts::kPreviewLength), "marks"_a = str(pair[1]));
    }
    say(texts::kSummaryRule);
}

py::dict get_input_data_format(py::object, py::object question_paper, py::object answer_pages) {
    require_paper(question_paper);
    py::list questions;
    for (py::handle q_id : question_paper.attr("get_question_ids")()) {
        py::object q = question_paper.attr("get_question")(q_id);
        questions.append(py::dict(py::arg("qid") = q.attr("q_id"), py::arg("question") = q.attr("text"),
                                  py::arg("max_marks") = q.attr("max_marks"), py::arg("student_answer") = "",
                                  py::arg("ref_answer") = or_empty(py::getattr(q, "reference_answer", py::none())),
                                  py::arg("rubric") = criterion_entries(py::getattr(q, "rubric", py::none()))));
    }
    return py::dict(py::arg("class") = question_paper.attr("class_level"),
                    py::arg("subject") = question_paper.attr("subject"), py::arg("answer_pages") = answer_pages,
                    py::arg("questions") = questions);
}

void save_to_file(py::object self, py::object question_paper, py::object output_path, py::object answer_pages,
                  py::object format) {
    output_path = path_text(std::move(output_path));
    require_paper(question_paper);
    make_parent_directory(output_path);

    bool as_json = py::str(format).attr("lower")().equal(py::str("json"));
    std::string contents = as_json ? json_document(self, question_paper, answer_pages)
                                   : text_document(question_paper);
    write_atomically(output_path, contents);
    say(texts::kSaved, "output_path"_a = str(output_path));
}

}  // namespace tovrane::paper_pipeline
