// End-to-end workflows: question paper, rubrics, reference answers, answersheets, change of
// paper, and the read-back of what happened.
#include "engine/text/facade_texts.hpp"
#include "tovrane/ops.hpp"
#include "tovrane/support.hpp"

namespace tovrane::facade {

namespace txt = tovrane::text::facade;
using namespace detail;

namespace {

bool lacks_rubric(py::handle question) {
    py::object rubric = py::getattr(question, "rubric", py::none());
    return rubric.is_none() || py::len(rubric.attr("criteria")) == 0;
}

bool lacks_reference_answer(py::handle question) {
    py::object answer = py::getattr(question, "reference_answer", py::none());
    return answer.is_none() || !truth_of(answer.attr("strip")());
}

// The texts and calls that tell the rubric workflow from the reference answer workflow.
struct GenerationKind {
    const char* starting;
    const char* selected;
    const char* warning;
    const char* count;
    const char* all;
    const char* done;
    const char* failed;
    const char* single_call;
    const char* all_call;
    const char* summary_key;
    const char* failed_for;
    const char* error_attr;  // the question's note of a failed generation
    bool (*lacks)(py::handle question);
};

constexpr GenerationKind kRubrics = {
    txt::kRubricsStarting, txt::kRubricsSelected, txt::kRubricWarning, txt::kRubricsCount,
    txt::kRubricsAll,      txt::kRubricsDone,     txt::kRubricsFailed, "generate_rubric_for_question",
    "generate_rubrics_for_all_questions", "rubric_generation", txt::kRubricsFailedFor, "rubric_error", lacks_rubric};

constexpr GenerationKind kAnswers = {
    txt::kAnswersStarting, txt::kAnswersSelected, txt::kAnswerWarning, txt::kAnswersCount,
    txt::kAnswersAll,      txt::kAnswersDone,     txt::kAnswersFailed, "generate_reference_answer_for_question",
    "generate_reference_answers_for_all_questions", "reference_answer_generation", txt::kAnswersFailedFor,
    "reference_answer_error", lacks_reference_answer};

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
template <typename Body>
decltype(auto) recorded(const py::object& self, const char* key, const char* failed, Body&& body) {
    return guarded(body, processing_error(), [&](const std::string& error) {
        std::string message = fill(failed, fmt::arg("error", error));
        record_outcome(self, key, error_record(message));
        return message;
    });
}

void require_paper(const py::object& question_paper) {
    if (!is_instance(question_paper, question_paper_class())) raise(validation_error(), txt::kNotAPaper);
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
              fill(txt::kInvalidIds, fmt::arg("invalid", text(invalid)), fmt::arg("available", text(available))));
    }
}

py::object generate(const GenerationKind& kind, py::object self, py::object question_paper,
                    py::object question_ids) {
    return recorded(self, kind.summary_key, kind.failed, [&]() -> py::object {
        self.attr("_validate_configured")();
        require_paper(question_paper);
        say(kind.starting);
        bool selected = !question_ids.is_none() && truth_of(question_ids);
        py::object result;
        py::list failed;
        if (selected) {
            self.attr("_validate_question_ids_for_paper")(question_ids, question_paper);
            py::list requested = snapshot(question_ids);
            std::string n = len_text(requested);
            say(kind.selected, fmt::arg("n", n));
            py::dict generated;
            std::size_t count = 0;
            for (py::handle q_id : requested) {
                auto error = ordinary_error([&] {
                    generated[q_id] = self.attr("paper_pipeline").attr(kind.single_call)(question_paper, q_id);
                    ++count;
                });
                if (error) {
                    say(kind.warning, fmt::arg("q_id", text(q_id)), fmt::arg("error", *error));
                    if (!contains(failed, q_id)) failed.append(q_id);
                }
            }
            say(kind.count, fmt::arg("generated", count), fmt::arg("n", n));
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
        if (py::len(failed) > 0) say(kind.failed_for, fmt::arg("failed", text(failed)));
        return result;
    });
}

}  // namespace

// ---- validation steps ------------------------------------------------------------------

void validate_file_path(py::object, py::object pdf_path) {
    if (!truth_of(pdf_path)) raise(validation_error(), txt::kEmptyPdfPath);
    // Existence first: a missing file is reported as missing whatever its name.
    if (!truth_of(py_util::module_attr("os.path", "isfile")(pdf_path))) {
        raise(validation_error(), fill(txt::kPdfNotFound, fmt::arg("path", text(pdf_path))));
    }
    if (!truth_of(pdf_path.attr("lower")().attr("endswith")(".pdf"))) {
        raise(validation_error(), fill(txt::kNotAPdf, fmt::arg("path", text(pdf_path))));
    }
}

void validate_question_paper_inputs(py::object, py::object subject, py::object language, py::object class_level) {
    if (!truth_of(subject)) raise(validation_error(), txt::kEmptySubject);
    if (!truth_of(language)) raise(validation_error(), txt::kEmptyLanguage);
    if (!truth_of(class_level)) raise(validation_error(), txt::kEmptyClassLevel);
}

void validate_question_paper_loaded(py::object self) {
    if (self.attr("current_question_paper").is_none()) raise(validation_error(), txt::kNoPaperLoaded);
}

void validate_question_ids_for_paper(py::object, py::object question_ids, py::object question_paper) {
    if (!truth_of(question_ids)) raise(validation_error(), txt::kEmptyQuestionIds);
    require_paper(question_paper);
    check_ids_against(question_ids, question_paper.attr("get_question_ids")());
}

void validate_question_ids(py::object self, py::object question_ids) {
    if (!truth_of(question_ids)) raise(validation_error(), txt::kEmptyQuestionIds);
    // Without a paper there is nothing to check against; say so rather than fail on None.
    self.attr("_validate_question_paper_loaded")();
    check_ids_against(question_ids, self.attr("current_question_paper").attr("get_question_ids")());
}

// ---- workflows -------------------------------------------------------------------------

py::object process_question_paper(py::object self, py::object pdf_path, py::object subject, py::object language,
                                  py::object class_level, py::object page_numbers) {
    require_text(pdf_path, "pdf_path");
    require_text(subject, "subject");
    require_text(language, "language");
    require_text(class_level, "class_level");
    require_list_or_none(page_numbers, "page_numbers");
    return recorded(self, "question_paper_processing", txt::kPaperFailed, [&]() -> py::object {
        self.attr("_validate_configured")();
        self.attr("_validate_file_path")(pdf_path);
        self.attr("_validate_question_paper_inputs")(subject, language, class_level);
        say(txt::kPaperStarting);
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
        say(txt::kPaperDone);
        say(txt::kPaperExtracted, fmt::arg("n", len_text(paper.attr("get_question_ids")())));
        return paper;
    });
}

py::object generate_rubrics(py::object self, py::object question_paper, py::object question_ids) {
    require_list_or_none(question_ids, "question_ids");
    return generate(kRubrics, std::move(self), std::move(question_paper), std::move(question_ids));
}

py::object generate_reference_answers(py::object self, py::object question_paper, py::object question_ids) {
    require_list_or_none(question_ids, "question_ids");
    return generate(kAnswers, std::move(self), std::move(question_paper), std::move(question_ids));
}

py::object process_answersheet(py::object self, py::object pdf_path, py::object page_numbers) {
    require_text(pdf_path, "pdf_path");
    require_list_or_none(page_numbers, "page_numbers");
    return recorded(self, "answersheet_processing", txt::kSheetFailed, [&]() -> py::object {
        self.attr("_validate_configured")();
        self.attr("_validate_question_paper_loaded")();
        self.attr("_validate_file_path")(pdf_path);
        say(txt::kSheetStarting);
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
        say(txt::kSheetDone);
        say(txt::kSheetAnswers, fmt::arg("a", text(get_or(summary, "attempted_questions", py::int_(0)))));
        // The rate is part of the validation record; the summary carries none.
        say(txt::kSheetAttemptRate, fmt::arg("r", text(get_or(validation, "attempt_rate", py::int_(0)))));
        py::object warnings = get_or(validation, "warnings", py::none());
        if (!warnings.is_none() && truth_of(warnings)) {
            say(txt::kSheetWarnings);
            for (py::handle warning : snapshot(warnings)) say(txt::kSheetWarning, fmt::arg("warning", text(warning)));
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
            if (py::len(ids) == 0) raise(validation_error(), txt::kPaperWithoutQuestions);
            say(txt::kChanging);
            self.attr("current_question_paper") = question_paper;
            say(txt::kChanged);
            say(txt::kChangedCount, fmt::arg("n", len_text(ids)));
            py::object total = question_paper.attr("get_total_marks")();
            say(txt::kTotalMarks, fmt::arg("total", text(total)));
            py::dict record;
            record["status"] = "success";
            record["total_questions"] = py::len(ids);
            record["total_marks"] = total;
            record["subject"] = question_paper.attr("subject");
            record["class_level"] = question_paper.attr("class_level");
            record_outcome(self, "question_paper_change", record);
            return question_paper;
        },
        validation_error(), [](const std::string& error) { return fill(txt::kChangeFailed, fmt::arg("error", error)); });
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
