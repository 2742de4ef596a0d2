// End-to-end workflows: question paper, rubrics, reference answers, answersheets, change of
// paper, and the read-back of what happened.
#include <fmt/format.h>

#include <string>
#include <string_view>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "engine/text/facade_texts.hpp"
#include "tovrane/internal.hpp"
#include "tovrane/operations.hpp"

namespace tovrane::facade {

namespace texts = tovrane::text::facade;
using namespace fmt::literals;
using namespace py_util;

namespace {

bool lacks_rubric(py::handle question) {
    py::object rubric = py::getattr(question, "rubric", py::none());
    return rubric.is_none() || py::len(rubric.attr("criteria")) == 0;
}

bool lacks_reference_answer(py::handle question) {
    py::object answer = py::getattr(question, "reference_answer", py::none());
    return answer.is_none() || !truthy(answer.attr("strip")());
}

// The texts and calls that tell the rubric workflow from the reference answer workflow.
// The workflow takes the table as a template argument, so its lines are checked when compiled.
struct GenerationKind {
    std::string_view starting;
    std::string_view selected;
    std::string_view warning;
    std::string_view count;
    std::string_view all;
    std::string_view done;
    std::string_view failed;
    std::string_view failed_for;
    const char* single_call;
    const char* all_call;
    const char* summary_key;
    const char* error_attr;  ///< the question's note of a failed generation
    bool (*lacks)(py::handle question);
};

constexpr GenerationKind kRubrics{
    .starting = texts::kRubricsStarting,
    .selected = texts::kRubricsSelected,
    .warning = texts::kRubricWarning,
    .count = texts::kRubricsCount,
    .all = texts::kRubricsAll,
    .done = texts::kRubricsDone,
    .failed = texts::kRubricsFailed,
    .failed_for = texts::kRubricsFailedFor,
    .single_call = "generate_rubric_for_question",
    .all_call = "generate_rubrics_for_all_questions",
    .summary_key = "rubric_generation",
    .error_attr = "rubric_error",
    .lacks = lacks_rubric,
};

constexpr GenerationKind kAnswers{
    .starting = texts::kAnswersStarting,
    .selected = texts::kAnswersSelected,
    .warning = texts::kAnswerWarning,
    .count = texts::kAnswersCount,
    .all = texts::kAnswersAll,
    .done = texts::kAnswersDone,
    .failed = texts::kAnswersFailed,
    .failed_for = texts::kAnswersFailedFor,
    .single_call = "generate_reference_answer_for_question",
    .all_call = "generate_reference_answers_for_all_questions",
    .summary_key = "reference_answer_generation",
    .error_attr = "reference_answer_error",
    .lacks = lacks_reference_answer,
};

// After an all-questions run: the questions still without the product because generating it
// failed (the pipeline notes the reason on the question).
py::list failed_in_run(const GenerationKind& kind, const py::object& question_paper, const py::object& generated) {
    py::list failed;
    for (py::handle q_id : snapshot(question_paper.attr("get_question_ids")())) {
        if (contains(generated, q_id)) continue;
        py::object question = question_paper.attr("get_question")(q_id);
        if (!py::getattr(question, kind.error_attr, py::none()).is_none() && kind.lacks(question)) failed.append(q_id);
    }
    return failed;
}

py::dict error_record(const std::string& message) {
    py::dict record;
    record["status"] = "error";
    record["error"] = message;
    return record;
}

// A workflow's guard: the failure is recorded under its key and raised as ProcessingError.
template <const std::string_view& failed, typename Body>
decltype(auto) recorded(const py::object& self, const char* key, Body&& body) {
    return guarded(
        body,
        [&](const std::string& error) {
            std::string message = fmt::format(failed, "error"_a = error);
            record_outcome(self, key, error_record(message));
            return message;
        },
        processing_error());
}

void require_paper(const py::object& question_paper) {
    if (!is_instance(question_paper, names::question_paper_class())) raise(validation_error(), texts::kNotAPaper);
}

// The identifiers of `question_ids` that `available` lacks, in request order with repeats.
void check_ids_against(const py::object& question_ids, const py::object& available_ids) {
    py::list available = snapshot(available_ids);
    py::list invalid;
    for (py::handle q_id : snapshot(question_ids)) {
        if (!contains(available, q_id)) invalid.append(q_id);
    }
    if (py::len(invalid) > 0) {
        raise(validation_error(),
              fmt::format(texts::kInvalidIds, "invalid"_a = str(invalid), "available"_a = str(available)));
    }
}

template <const GenerationKind& kind>
py::object generate(py::object self, py::object question_paper, py::object question_ids) {
    return recorded<kind.failed>(self, kind.summary_key, [&]() -> py::object {
        self.attr("_validate_configured")();
        require_paper(question_paper);
        say(kind.starting);
        bool selected = !question_ids.is_none() && truthy(question_ids);
        py::object result;
        py::list failed;
        if (selected) {
            self.attr("_validate_question_ids_for_paper")(question_ids, question_paper);
            py::list requested = snapshot(question_ids);
            std::string n = len_text(requested);
            say(kind.selected, "n"_a = n);
            py::dict generated;
            std::size_t count = 0;
            for (py::handle q_id : requested) {
                auto error = ordinary_error([&] {
                    generated[q_id] = self.attr("paper_pipeline").attr(kind.single_call)(question_paper, q_id);
                    ++count;
                });
                if (error) {
                    say(kind.warning, "q_id"_a = str(q_id), "error"_a = *error);
                    if (!contains(failed, q_id)) failed.append(q_id);
                }
            }
            say(kind.count, "generated"_a = count, "n"_a = n);
            result = generated;
        } else {
            say(kind.all);
            result = self.attr("paper_pipeline").attr(kind.all_call)(question_paper);
            // Only a report: a pipeline whose result or questions cannot be read this way just lists none.
            ordinary_error([&] { failed = failed_in_run(kind, question_paper, result); });
        }
        py::dict record;
        record["status"] = "success";
        record["target_questions"] = selected ? py::object(snapshot(question_ids)) : py::str("all");
        record["total_questions"] = py::len(question_paper.attr("get_question_ids")());
        record["failed_questions"] = failed;
        record_outcome(self, kind.summary_key, record);
        say(kind.done);
        // The run completed, but a question without its product is no success for the teacher.
        if (py::len(failed) > 0) say(kind.failed_for, "failed"_a = str(failed));
        return result;
    });
}

}  // namespace

// ---- validation steps ------------------------------------------------------------------

void validate_file_path(py::object, py::object pdf_path) {
    pdf_path = path_text(std::move(pdf_path));
    if (!truthy(pdf_path)) raise(validation_error(), texts::kEmptyPdfPath);
    // Existence first: a missing file is reported as missing whatever its name.
    if (!truthy(module_attr("os.path", "isfile")(pdf_path))) {
        raise(validation_error(), fmt::format(texts::kPdfNotFound, "path"_a = str(pdf_path)));
    }
    if (!truthy(pdf_path.attr("lower")().attr("endswith")(".pdf"))) {
        raise(validation_error(), fmt::format(texts::kNotAPdf, "path"_a = str(pdf_path)));
    }
}

void validate_question_paper_inputs(py::object, py::object subject, py::object language, py::object class_level) {
    if (!truthy(subject)) raise(validation_error(), texts::kEmptySubject);
    if (!truthy(language)) raise(validation_error(), texts::kEmptyLanguage);
    if (!truthy(class_level)) raise(validation_error(), texts::kEmptyClassLevel);
}

void validate_question_paper_loaded(py::object self) {
    if (self.attr("current_question_paper").is_none()) raise(validation_error(), texts::kNoPaperLoaded);
}

void validate_question_ids_for_paper(py::object, py::object question_ids, py::object question_paper) {
    if (!truthy(question_ids)) raise(validation_error(), texts::kEmptyQuestionIds);
    require_paper(question_paper);
    check_ids_against(question_ids, question_paper.attr("get_question_ids")());
}

void validate_question_ids(py::object self, py::object question_ids) {
    if (!truthy(question_ids)) raise(validation_error(), texts::kEmptyQuestionIds);
    // Without a paper there is nothing to check against; say so rather than fail on None.
    self.attr("_validate_question_paper_loaded")();
    check_ids_against(question_ids, self.attr("current_question_paper").attr("get_question_ids")());
}

// ---- workflows -------------------------------------------------------------------------

py::object process_question_paper(py::object self, py::object pdf_path, py::object subject, py::object language,
                                  py::object class_level, py::object page_numbers) {
    pdf_path = path_text(std::move(pdf_path));
    require_str(pdf_path, "pdf_path");
    require_str(subject, "subject");
    require_str(language, "language");
    require_str(class_level, "class_level");
    require_list_or_none(page_numbers, "page_numbers");
    return recorded<texts::kPaperFailed>(self, "question_paper_processing", [&]() -> py::object {
        self.attr("_validate_configured")();
        self.attr("_validate_file_path")(pdf_path);
        self.attr("_validate_question_paper_inputs")(subject, language, class_level);
        say(texts::kPaperStarting);
        py::object paper = self.attr("paper_pipeline")
                               .attr("process_pdf")(py::arg("pdf_path") = pdf_path, py::arg("subject") = subject,
                                                    py::arg("language") = language,
                                                    py::arg("class_level") = class_level,
                                                    py::arg("page_numbers") = page_numbers);
        self.attr("current_question_paper") = paper;
        py::object summary = self.attr("paper_pipeline").attr("get_summary")(paper);
        py::dict record;
        record["status"] = "success";
        record["pdf_path"] = pdf_path;
        record["subject"] = subject;
        record["language"] = language;
        record["class_level"] = class_level;
        record["processed_pages"] = page_numbers;
        record["summary"] = summary;
        record_outcome(self, "question_paper_processing", record);
        say(texts::kPaperDone);
        say(texts::kPaperExtracted, "n"_a = len_text(paper.attr("get_question_ids")()));
        return paper;
    });
}

py::object generate_rubrics(py::object self, py::object question_paper, py::object question_ids) {
    require_list_or_none(question_ids, "question_ids");
    return generate<kRubrics>(std::move(self), std::move(question_paper), std::move(question_ids));
}

py::object generate_reference_answers(py::object self, py::object question_paper, py::object question_ids) {
    require_list_or_none(question_ids, "question_ids");
    return generate<kAnswers>(std::move(self), std::move(question_paper), std::move(question_ids));
}

py::object process_answersheet(py::object self, py::object pdf_path, py::object page_numbers) {
    pdf_path = path_text(std::move(pdf_path));
    require_str(pdf_path, "pdf_path");
    require_list_or_none(page_numbers, "page_numbers");
    return recorded<texts::kSheetFailed>(self, "answersheet_processing", [&]() -> py::object {
        self.attr("_validate_configured")();
        self.attr("_validate_question_paper_loaded")();
        self.attr("_validate_file_path")(pdf_path);
        say(texts::kSheetStarting);
        py::object paper = self.attr("current_question_paper");
        py::object answersheet = self.attr("sheet_pipeline").attr("process_pdf")(
            py::arg("pdf_path") = pdf_path, py::arg("question_paper") = paper, py::arg("page_numbers") = page_numbers);
        py::object summary = self.attr("sheet_pipeline").attr("get_summary")(answersheet, paper);
        py::object validation = self.attr("sheet_pipeline").attr("validate_processing")(answersheet, paper);
        py::dict record;
        record["status"] = "success";
        record["pdf_path"] = pdf_path;
        record["processed_pages"] = page_numbers;
        record["summary"] = summary;
        record["validation"] = validation;
        record_outcome(self, "answersheet_processing", record);
        say(texts::kSheetDone);
        say(texts::kSheetAnswers, "a"_a = str(get_or(summary, "attempted_questions", py::int_(0))));
        // The rate is part of the validation record; the summary carries none.
        say(texts::kSheetAttemptRate, "r"_a = str(get_or(validation, "attempt_rate", py::int_(0))));
        py::object warnings = get_or(validation, "warnings", py::none());
        if (!warnings.is_none() && truthy(warnings)) {
            say(texts::kSheetWarnings);
            for (py::handle warning : snapshot(warnings)) say(texts::kSheetWarning, "warning"_a = str(warning));
        }
        return answersheet;
    });
}

py::object change_question_paper(py::object self, py::object question_paper) {
    return guarded(
        [&]() -> py::object {
            self.attr("_validate_configured")();
            require_paper(question_paper);
            py::object ids = question_paper.attr("get_question_ids")();
            if (py::len(ids) == 0) raise(validation_error(), texts::kPaperWithoutQuestions);
            say(texts::kChanging);
            self.attr("current_question_paper") = question_paper;
            say(texts::kChanged);
            say(texts::kChangedCount, "n"_a = len_text(ids));
            py::object total = question_paper.attr("get_total_marks")();
            say(texts::kTotalMarks, "total"_a = str(total));
            py::dict record;
            record["status"] = "success";
            record["total_questions"] = py::len(ids);
            record["total_marks"] = total;
            record["subject"] = question_paper.attr("subject");
            record["class_level"] = question_paper.attr("class_level");
            record_outcome(self, "question_paper_change", record);
            return question_paper;
        },
        with_error<texts::kChangeFailed>, validation_error());
}

py::object get_current_question_paper(py::object self) {
    return self.attr("current_question_paper");
}

py::dict get_processing_summary(py::object self) {
    return dict_copy(self.attr("last_processing_summary"));
}

py::object get_token_usage_summary(py::object self) {
    py::object broker = self.attr("model_broker");
    if (broker.is_none()) {
        py::dict summary;
        summary["status"] = "not_configured";
        return summary;
    }
    return broker.attr("get_total_usage")();
}

}  // namespace tovrane::facade
