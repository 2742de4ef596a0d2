// Validation, summary, console report, export records and saving of an answersheet.
#include <fmt/format.h>

#include <optional>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/python.hpp"
#include "engine/text/sheet_pipeline_texts.hpp"
#include "engine/text/sheet_report.hpp"
#include "sheet_pipeline/internal.hpp"
#include "sheet_pipeline/operations.hpp"

namespace tovrane::sheet_pipeline {

namespace texts = tovrane::text::sheet_pipeline;
using namespace fmt::literals;
using namespace py_util;

namespace {

/// eval_rubric.get_awarded_marks() when the answer has been marked.
std::optional<py::object> awarded_marks(py::handle answer) {
    py::object rubric = answer.attr("eval_rubric");
    if (rubric.is_none()) return std::nullopt;
    return rubric.attr("get_awarded_marks")();
}

py::object or_zero(const std::optional<py::object>& value) {
    return value ? *value : py::int_(0);
}

/// Whether the answer's evaluation succeeded. Answers that do not say (a host's own, or
/// one saved before answers did) count as evaluated when they carry a marked rubric.
bool was_evaluated(py::handle answer) {
    py::object flag = py::getattr(answer, "evaluated", py::none());
    if (flag.is_none()) return !answer.attr("eval_rubric").is_none();
    return truthy(flag);
}

/// Why the answer was not evaluated, when an evaluation was tried or skipped; else None.
py::object evaluation_error(py::handle answer) {
    if (was_evaluated(answer)) return py::none();
    return py::getattr(answer, "evaluation_error", py::none());
}

py::dict export_entry(py::handle question, py::handle answer) {
    py::dict entry;
    entry["qid"] = question.attr("q_id");
    entry["question"] = question.attr("text");
    entry["ref_answer"] = question.attr("reference_answer");
    if (answer.is_none()) {
        entry["student_answer"] = py::str("");
        entry["answer_pages"] = py::list();
        entry["rubric"] = py::list();
        entry["max_marks"] = question.attr("max_marks");
        entry["obtained_marks"] = 0;
        entry["feedback"] = py::str("");
        entry["attempted"] = false;
        entry["evaluated"] = false;
        entry["evaluation_error"] = py::none();
        return entry;
    }
    py::object rubric = answer.attr("eval_rubric");
    entry["student_answer"] = answer.attr("text");
    entry["answer_pages"] = answer.attr("pages");
    entry["rubric"] = rubric.is_none() ? py::object(py::list()) : rubric.attr("to_list")();
    entry["max_marks"] = question.attr("max_marks");
    entry["obtained_marks"] = or_zero(awarded_marks(answer));
    entry["feedback"] = answer.attr("feedback");
    // The nine keys keep their values; these say whether "obtained_marks" is a verdict.
    entry["attempted"] = true;
    entry["evaluated"] = was_evaluated(answer);
    entry["evaluation_error"] = evaluation_error(answer);
    return entry;
}

text::SheetReportAnswer report_answer(py::handle answer, py::handle question) {
    text::SheetReportAnswer out{str(answer.attr("pages")), str(answer.attr("text")), {}, {}, {}};
    py::object evaluation = py::getattr(answer, "evaluation_result", py::none());
    if (evaluation.is_none() || !truthy(evaluation)) return out;
    out.awarded_marks = str(evaluation.attr("get")("awarded_marks", 0));
    out.total_marks = str(evaluation.attr("get")("total_marks", question.attr("max_marks")));
    if (contains(evaluation, py::str("feedback"))) out.feedback = str(evaluation["feedback"]);
    return out;
}

std::string text_report(py::handle answersheet, py::handle question_paper) {
    py::object paper_ids = question_paper.attr("get_question_ids")();
    py::object answered = answersheet.attr("get_question_ids")();
    text::SheetReportHeader header{str(question_paper.attr("subject")), str(question_paper.attr("class_level")),
                                   std::to_string(py::len(paper_ids)), std::to_string(py::len(answered))};
    std::vector<text::SheetReportQuestion> questions;
    for (py::handle q_id : paper_ids) {
        py::object question = question_paper.attr("get_question")(q_id);
        text::SheetReportQuestion block{str(question.attr("q_id")), str(question.attr("max_marks")),
                                        str(question.attr("text")), {}};
        if (contains(answered, q_id)) block.answer = report_answer(answersheet.attr("get_answer")(q_id), question);
        questions.push_back(std::move(block));
    }
    return text::render_sheet_report(header, questions);
}

}  // namespace

py::dict validate_processing(py::object, py::object answersheet, py::object question_paper) {
    if (!has_inputs(answersheet, question_paper)) {
        return py::dict(py::arg("valid") = false, py::arg("error") = to_py(texts::kNoneInputsRecord));
    }
    py::list issues;
    py::list warnings;
    for (py::handle q_id : answersheet.attr("get_question_ids")()) {
        py::object answer = answersheet.attr("get_answer")(q_id);
        if (py::len(answer.attr("text").attr("strip")()) < texts::kMinAnswerChars) {
            warnings.append(fmt::format(texts::kVeryShort, "q_id"_a = str(q_id)));
        }
        py::object pages = answer.attr("pages");
        if (pages.is_none() || !truthy(pages)) issues.append(fmt::format(texts::kNoPages, "q_id"_a = str(q_id)));
        py::object reason = evaluation_error(answer);
        if (!reason.is_none()) {
            warnings.append(fmt::format(texts::kNotEvaluated, "q_id"_a = str(q_id), "reason"_a = str(reason)));
        }
    }
    std::size_t total = py::len(question_paper.attr("get_question_ids")());
    std::size_t attempted = py::len(answersheet.attr("get_question_ids")());
    double rate = total > 0 ? static_cast<double>(attempted) / static_cast<double>(total) * 100.0 : 0.0;
    py::object attempt_rate = total > 0 ? py::object(py::float_(rate)) : py::object(py::int_(0));
    if (rate < texts::kLowAttemptPercent) warnings.append(fmt::format(texts::kLowAttemptRate, "rate"_a = rate));
    return py::dict(py::arg("valid") = issues.empty(), py::arg("issues") = issues, py::arg("warnings") = warnings,
                    py::arg("attempt_rate") = attempt_rate, py::arg("attempted_count") = attempted,
                    py::arg("total_count") = total);
}

py::dict get_summary(py::object, py::object answersheet, py::object question_paper) {
    if (!has_inputs(answersheet, question_paper)) return py::dict(py::arg("error") = to_py(texts::kNoneInputsRecord));
    py::object paper_ids = question_paper.attr("get_question_ids")();
    py::object answer_ids = answersheet.attr("get_question_ids")();
    std::size_t total = py::len(paper_ids);
    std::size_t attempted = py::len(answer_ids);

    // Python's own + keeps sum()'s int/float behaviour.
    py::object total_marks = py::int_(0);
    for (py::handle q_id : paper_ids) {
        total_marks = total_marks + question_paper.attr("get_question")(q_id).attr("max_marks");
    }
    py::object obtained = py::int_(0);
    py::dict details;
    std::size_t evaluated = 0;
    for (py::handle q_id : answer_ids) {
        py::object answer = answersheet.attr("get_answer")(q_id);
        std::optional<py::object> marks = awarded_marks(answer);
        if (marks) obtained = obtained + *marks;
        if (was_evaluated(answer)) ++evaluated;
        details[q_id] = py::dict(py::arg("pages") = answer.attr("pages"),
                                 py::arg("answer_length") = py::len(answer.attr("text")),
                                 py::arg("question_marks") = question_paper.attr("get_question")(q_id).attr("max_marks"),
                                 py::arg("obtained_marks") = or_zero(marks));
    }
    // Counted after the details, so the keys before them keep their places.
    py::object unmatched = py::getattr(answersheet, "unmatched_answers", py::list());
    return py::dict(py::arg("total_questions") = total, py::arg("attempted_questions") = attempted,
                    py::arg("total_marks") = total_marks, py::arg("obtained_marks") = obtained,
                    py::arg("unattempted_questions") = py::int_(total) - py::int_(attempted),
                    py::arg("attempted_details") = details, py::arg("evaluated_answers") = evaluated,
                    py::arg("not_evaluated_answers") = attempted - evaluated,
                    py::arg("unmatched_answers") = unmatched.is_none() ? 0 : py::len(unmatched));
}

void print_summary(py::object self, py::object answersheet, py::object question_paper) {
    py::object summary = self.attr("get_summary")(answersheet, question_paper);
    if (contains(summary, py::str("error"))) {
        say(texts::kSummaryError, "error"_a = str(summary["error"]));
        return;
    }
    print_line(texts::kSummaryTop);
    print_line(texts::kSummaryTitle);
    print_line(texts::kSummaryRule);
    for (py::handle item : summary.attr("items")()) {
        py::object key = item[py::int_(0)];
        if (key.equal(py::str("attempted_details"))) continue;
        py::object title = key.attr("replace")("_", " ").attr("title")();
        say(texts::kSummaryEntry, "key"_a = str(title), "value"_a = str(item[py::int_(1)]));
    }

    py::object validation = self.attr("validate_processing")(answersheet, question_paper);
    if (truthy(validation["valid"])) {
        say(texts::kValidationPassed);
    } else {
        say(texts::kValidationIssues);
        for (py::handle issue : validation.attr("get")("issues", py::list())) say(texts::kListedItem, "item"_a = str(issue));
    }
    py::object warnings = validation.attr("get")("warnings", py::list());
    if (truthy(warnings)) {
        say(texts::kWarningsHeader);
        for (py::handle warning : warnings) say(texts::kListedItem, "item"_a = str(warning));
    }

    print_line(texts::kOverviewHeader);
    for (py::handle item : summary["attempted_details"].attr("items")()) {
        py::object q_id = item[py::int_(0)];
        say(texts::kOverviewQuestion, "q_id"_a = str(q_id),
            "preview"_a = preview(question_paper.attr("get_question")(q_id).attr("text"), texts::kPreviewLength));
        for (py::handle detail : item[py::int_(1)].attr("items")()) {
            say(texts::kOverviewDetail, "key"_a = str(detail[py::int_(0)]), "value"_a = str(detail[py::int_(1)]));
        }
    }
    print_line(texts::kSummaryRule);
}

py::list get_answersheet_format(py::object, py::object answersheet, py::object question_paper) {
    require_inputs(answersheet, question_paper);
    py::object answered = answersheet.attr("get_question_ids")();
    py::list entries;
    for (py::handle q_id : question_paper.attr("get_question_ids")()) {
        py::object question = question_paper.attr("get_question")(q_id);
        py::object answer = contains(answered, q_id) ? answersheet.attr("get_answer")(q_id) : py::none();
        entries.append(export_entry(question, answer));
    }
    return entries;
}

void save_to_file(py::object self, py::object answersheet, py::object question_paper, py::object output_path,
                  py::object format) {
    output_path = path_text(std::move(output_path));
    require_inputs(answersheet, question_paper);
    make_parent_directory(output_path);

    std::string contents;
    if (format.attr("lower")().equal(to_py(texts::kJsonFormat))) {
        py::object records = self.attr("get_answersheet_format")(answersheet, question_paper);
        contents = json_text(records);
    } else {
        contents = text_report(answersheet, question_paper);
    }
    write_atomically(output_path, contents);
    say(texts::kSaved, "output_path"_a = str(output_path));
}

}  // namespace tovrane::sheet_pipeline
