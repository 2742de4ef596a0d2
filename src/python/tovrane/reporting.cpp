// Saving and printing through the pipelines, and the example of the JSON route.
#include <fmt/format.h>

#include <string_view>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "engine/constants.hpp"
#include "engine/text/facade_texts.hpp"
#include "tovrane/internal.hpp"
#include "tovrane/operations.hpp"

namespace tovrane::facade {

namespace texts = tovrane::text::facade;
using namespace fmt::literals;
using namespace py_util;

namespace {

// Every saving and printing step needs a configured facade holding a paper; both checks go
// through the instance, so a host's replacement is honoured.
void require_paper_loaded(const py::object& self) {
    self.attr("_validate_configured")();
    self.attr("_validate_question_paper_loaded")();
}

// The format is compared without regard to case but handed on as the caller wrote it.
void check_format(const py::object& format) {
    py::object lowered = format.attr("lower")();
    if (!lowered.equal(py::str("json")) && !lowered.equal(py::str("txt"))) raise(validation_error(), texts::kBadFormat);
}

void require_answersheet(const py::object& answersheet) {
    if (!is_instance(answersheet, names::answersheet_class())) raise(validation_error(), texts::kNotAnAnswersheet);
}

// Printing never raises: an ordinary error becomes one printed line.
template <const std::string_view& failed, typename Body>
void print_or_report(Body&& body) {
    if (auto error = ordinary_error(body)) say(failed, "error"_a = *error);
}

py::dict criterion(py::object statement, py::object mark) {
    py::dict record;
    record["statement"] = statement;
    record["mark"] = mark;
    return record;
}

py::dict criterion(std::string_view statement, double mark) { return criterion(to_py(statement), py::float_(mark)); }

py::dict example_question(const char* q_id, std::string_view text, int max_marks, py::dict first, py::dict second,
                          std::string_view reference_answer) {
    py::list criteria;
    criteria.append(std::move(first));
    criteria.append(std::move(second));
    py::dict rubric;
    rubric["criteria"] = criteria;
    py::dict question;
    question["q_id"] = q_id;
    question["question_text"] = to_py(text);
    question["max_marks"] = max_marks;
    question["rubric"] = rubric;
    question["reference_answer"] = to_py(reference_answer);
    return question;
}

// The example paper: no "language", so the import falls back to English.
py::dict example_paper() {
    py::list questions;
    questions.append(example_question("Q1", texts::kExampleQ1Text, 3, criterion(texts::kExampleQ1Criterion1, 2.0),
                                      criterion(texts::kExampleQ1Criterion2, 1.0), texts::kExampleQ1Answer));
    questions.append(example_question("Q2", texts::kExampleQ2Text, 2, criterion(texts::kExampleQ2Criterion1, 1.0),
                                      criterion(texts::kExampleQ2Criterion2, 1.0), texts::kExampleQ2Answer));
    py::dict paper;
    paper["subject"] = to_py(texts::kExampleSubject);
    paper["class_level"] = to_py(texts::kExampleClassLevel);
    paper["questions"] = questions;
    return paper;
}

// The question paper as question_paper_from_json takes it: what it holds, nothing more.
py::dict import_record(const py::object& paper) {
    py::list questions;
    for (py::handle q_id : snapshot(paper.attr("get_question_ids")())) {
        py::object question = paper.attr("get_question")(q_id);
        py::dict entry;
        entry["q_id"] = question.attr("q_id");
        entry["question_text"] = question.attr("text");
        entry["max_marks"] = question.attr("max_marks");
        py::dict rubric;
        py::object held = py::getattr(question, "rubric", py::none());
        if (!held.is_none()) {
            py::list criteria;
            for (py::handle c : snapshot(held.attr("criteria"))) {
                criteria.append(criterion(c.attr("statement"), c.attr("mark")));
            }
            rubric["criteria"] = criteria;
        }
        entry["rubric"] = rubric;
        entry["reference_answer"] = py::getattr(question, "reference_answer", py::none());
        questions.append(entry);
    }
    py::dict record;
    record["subject"] = paper.attr("subject");
    record["class_level"] = paper.attr("class_level");
    record["language"] = paper.attr("language");
    record["questions"] = questions;
    return record;
}

}  // namespace

void save_question_paper(py::object self, py::object output_path, py::object format) {
    output_path = path_text(std::move(output_path));
    require_str(output_path, "output_path");
    require_str(format, "format");
    guarded(
        [&] {
            require_paper_loaded(self);
            check_format(format);
            self.attr("paper_pipeline")
                .attr("save_to_file")(py::arg("question_paper") = self.attr("current_question_paper"),
                                      py::arg("output_path") = output_path, py::arg("format") = format);
        },
        with_error<texts::kSavePaperFailed>, processing_error(),
        {validation_error()});
}

void export_question_paper(py::object self, py::object output_path) {
    output_path = path_text(std::move(output_path));
    require_str(output_path, "output_path");
    guarded(
        [&] {
            require_paper_loaded(self);
            py::dict record = import_record(self.attr("current_question_paper"));
            const std::string contents = json_text(record);
            make_parent_directory(output_path);
            write_atomically(output_path, contents);
            say(texts::kExportedPaper, "path"_a = str(output_path));
        },
        with_error<texts::kExportPaperFailed>, processing_error(),
        {validation_error()});
}

void save_answersheet(py::object self, py::object answersheet, py::object output_path, py::object format) {
    output_path = path_text(std::move(output_path));
    require_str(output_path, "output_path");
    require_str(format, "format");
    guarded(
        [&] {
            require_paper_loaded(self);
            require_answersheet(answersheet);
            check_format(format);
            self.attr("sheet_pipeline")
                .attr("save_to_file")(py::arg("answersheet") = answersheet,
                                      py::arg("question_paper") = self.attr("current_question_paper"),
                                      py::arg("output_path") = output_path, py::arg("format") = format);
        },
        with_error<texts::kSaveSheetFailed>, processing_error(),
        {validation_error()});
}

void print_question_paper_summary(py::object self) {
    print_or_report<texts::kPrintPaperFailed>([&] {
        require_paper_loaded(self);
        self.attr("paper_pipeline").attr("print_summary")(self.attr("current_question_paper"));
    });
}

void print_answersheet_summary(py::object self, py::object answersheet) {
    print_or_report<texts::kPrintSheetFailed>([&] {
        require_paper_loaded(self);
        require_answersheet(answersheet);
        self.attr("sheet_pipeline").attr("print_summary")(answersheet, self.attr("current_question_paper"));
    });
}

void example_json_workflow() {
    print_or_report<texts::kExampleFailed>([] {
        py::object environ = module_attr("os", "environ");
        py::object config =
            names::config_class()(py::arg("extractor_type") = to_py(constants::kExtractorType),
                                  py::arg("openai_api_key") = get_or(environ, constants::kOpenAiKeyVariable, py::none()));
        py::object tovrane = names::tovrane_class()();
        tovrane.attr("configure")(config);
        py::object paper = tovrane.attr("question_paper_from_json")(example_paper());
        tovrane.attr("change_question_paper")(paper);
        tovrane.attr("process_answersheet")(to_py(texts::kExampleSheet));
        say(texts::kExampleDone);
    });
}

}  // namespace tovrane::facade
