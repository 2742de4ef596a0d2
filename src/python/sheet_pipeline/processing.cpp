// SheetPipeline's PDF processing: extraction, parsing, evaluation of one answersheet, on
// the blocking route and on the caller's event loop.
#include <fmt/format.h>

#include <string>
#include <string_view>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "engine/text/sheet_pipeline_texts.hpp"
#include "sheet_pipeline/operations.hpp"

namespace tovrane::sheet_pipeline {

namespace texts = tovrane::text::sheet_pipeline;
using namespace fmt::literals;
using namespace py_util;

namespace {

/// TypeError unless pdf_path is a str and page_numbers a list or None; `function` names the caller.
void check_process_args(const char* function, py::handle pdf_path, py::handle page_numbers) {
    require_str(pdf_path, argument_of(function, "pdf_path"));
    if (!page_numbers.is_none() && !PyList_Check(page_numbers.ptr())) {
        wrong_type(argument_of(function, "page_numbers"), "list or None", page_numbers);
    }
}

/// Checks the file, then prints the opening lines up to the page selection.
void announce_run(std::string_view starting_line, py::handle pdf_path, py::handle question_paper,
                  py::handle page_numbers) {
    if (!truthy(module_attr("os.path", "isfile")(pdf_path))) {
        raise(PyExc_FileNotFoundError, fmt::format(texts::kPdfNotFound, "pdf_path"_a = str(pdf_path)));
    }
    print_line(starting_line);
    say(texts::kProcessingPdf, "pdf_path"_a = str(pdf_path));
    say(texts::kQuestionCount, "count"_a = py::len(question_paper.attr("get_question_ids")()));
    say(texts::kStepExtract);
    // An empty selection means every page, like an absent one.
    if (!page_numbers.is_none() && py::len(page_numbers) > 0) {
        say(texts::kProcessingPages, "page_numbers"_a = str(page_numbers));
    } else {
        say(texts::kProcessingAllPages);
    }
}

/// Selects the back end for the paper's subject, extracts the page texts, stores them in
/// `extracted_texts` and reports their count. Blocking on both routes.
py::object extract_pages(py::object self, py::object pdf_path, py::object question_paper, py::object page_numbers) {
    py::object pages = guarded(
        [&] {
            // The recommendation is a class-level operation; every run selects the back end anew.
            py::object recommended = names::extractor_client_class().attr("get_recommended_extractor_for_subject")(
                question_paper.attr("subject"));
            py::object extractor = self.attr("extractor_client");
            extractor.attr("change_extractor")(recommended);
            return extractor.attr("process_pdf")(pdf_path, page_numbers);
        },
        with_error<texts::kExtractFailed>);
    self.attr("extracted_texts") = pages;
    say(texts::kExtracted, "n"_a = py::len(pages));
    return pages;
}

pyco::Task run_pdf_async(py::object self, py::object pdf_path, py::object question_paper, py::object page_numbers) {
    announce_run(texts::kStartingAsync, pdf_path, question_paper, page_numbers);
    py::object pages = extract_pages(self, pdf_path, question_paper, page_numbers);

    say(texts::kStepParseAsync);
    py::object answersheet;
    try {
        answersheet = co_await self.attr("model_broker").attr("parseAnswersheet_async")(pages, question_paper);
        say(texts::kParsedAsync, "n"_a = py::len(answersheet.attr("get_question_ids")()));
    } catch (...) {
        reraise_as(PyExc_RuntimeError, with_error<texts::kParseFailed>);
    }

    say(texts::kStepEvaluateAsync);
    co_await self.attr("_evaluate_all_answers_async")(answersheet, question_paper);
    say(texts::kFinishedAsync);
    co_return answersheet;
}

}  // namespace

py::object process_pdf(py::object self, py::object pdf_path, py::object question_paper, py::object page_numbers) {
    pdf_path = path_text(std::move(pdf_path));
    check_process_args("process_pdf", pdf_path, page_numbers);
    announce_run(texts::kStarting, pdf_path, question_paper, page_numbers);
    py::object pages = extract_pages(self, pdf_path, question_paper, page_numbers);

    say(texts::kStepParse);
    py::object answersheet = guarded(
        [&] {
            py::object sheet = self.attr("model_broker").attr("parseAnswersheet")(pages, question_paper);
            say(texts::kParsed, "n"_a = py::len(sheet.attr("get_question_ids")()));
            return sheet;
        },
        with_error<texts::kParseFailed>);

    say(texts::kStepEvaluate);
    // The evaluation reaches the caller through the answers; its record is not kept.
    self.attr("evaluate_all_answers")(answersheet, question_paper);
    say(texts::kFinished);
    return answersheet;
}

py::object process_pdf_async(py::object self, py::object pdf_path, py::object question_paper,
                             py::object page_numbers) {
    pdf_path = path_text(std::move(pdf_path));
    check_process_args("process_pdf_async", pdf_path, page_numbers);
    return pyco::to_python(run_pdf_async(std::move(self), std::move(pdf_path), std::move(question_paper),
                                         std::move(page_numbers)));
}

}  // namespace tovrane::sheet_pipeline
