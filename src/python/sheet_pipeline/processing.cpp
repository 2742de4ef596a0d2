// Construction and PDF processing: extraction, parsing, evaluation of one answersheet.
#include <string>

#include "engine/text/sheet_texts.hpp"
#include "sheet_pipeline/operations.hpp"
#include "sheet_pipeline/steps.hpp"
#include "sheet_pipeline/support.hpp"

namespace tovrane::sheet_pipeline {

namespace texts = tovrane::text::sheet;
using detail::render;
using detail::say;

namespace detail {

namespace {

std::string type_name(py::handle obj) {
    return render(py::type::of(obj).attr("__name__"));
}

}  // namespace

void check_process_args(const char* op, py::handle pdf_path, py::handle page_numbers) {
    if (!PyUnicode_Check(pdf_path.ptr())) {
        raise(PyExc_TypeError, fmt::format(texts::kPdfPathType, op, type_name(pdf_path)));
    }
    if (!page_numbers.is_none() && !PyList_Check(page_numbers.ptr())) {
        raise(PyExc_TypeError, fmt::format(texts::kPageNumbersType, op, type_name(page_numbers)));
    }
}

void announce_run(std::string_view starting_line, py::handle pdf_path, py::handle question_paper,
                  py::handle page_numbers) {
    if (!truthy(py_util::module_attr("os.path", "isfile")(pdf_path))) {
        raise(PyExc_FileNotFoundError, fmt::format(texts::kPdfNotFound, render(pdf_path)));
    }
    py_util::print_line(starting_line);
    say(texts::kProcessingPdf, render(pdf_path));
    say(texts::kQuestionCount, py::len(question_paper.attr("get_question_ids")()));
    say(texts::kStepExtract);
    // An empty selection means every page, like an absent one.
    if (!page_numbers.is_none() && py::len(page_numbers) > 0) {
        say(texts::kProcessingPages, render(page_numbers));
    } else {
        say(texts::kProcessingAllPages);
    }
}

py::object extract_pages(py::object self, py::object pdf_path, py::object question_paper, py::object page_numbers) {
    py::object pages = guarded(
        [&] {
            // The recommendation is a class-level operation; every run selects the back end anew.
            py::object extractor_class =
                py_util::module_attr("tovrane_core.ocr_extractor.extractor_client", "ExtractorClient");
            py::object recommended =
                extractor_class.attr("get_recommended_extractor_for_subject")(question_paper.attr("subject"));
            py::object extractor = self.attr("extractor_client");
            extractor.attr("change_extractor")(recommended);
            return extractor.attr("process_pdf")(pdf_path, page_numbers);
        },
        [](const std::string& err) { return fmt::format(texts::kExtractFailed, err); });
    self.attr("extracted_texts") = pages;
    say(texts::kExtracted, py::len(pages));
    return pages;
}

}  // namespace detail

void init(py::handle self, py::object extractor_client, py::object model_broker) {
    self.attr("extractor_client") = std::move(extractor_client);
    self.attr("model_broker") = std::move(model_broker);
    self.attr("extracted_texts") = py::none();
}

py::object process_pdf(py::object self, py::object pdf_path, py::object question_paper, py::object page_numbers) {
    detail::check_process_args("process_pdf", pdf_path, page_numbers);
    detail::announce_run(texts::kStarting, pdf_path, question_paper, page_numbers);
    py::object pages = detail::extract_pages(self, pdf_path, question_paper, page_numbers);

    say(texts::kStepParse);
    py::object answersheet = detail::guarded(
        [&] {
            py::object sheet = self.attr("model_broker").attr("parseAnswersheet")(pages, question_paper);
            say(texts::kParsed, py::len(sheet.attr("get_question_ids")()));
            return sheet;
        },
        [](const std::string& err) { return fmt::format(texts::kParseFailed, err); });

    say(texts::kStepEvaluate);
    // The evaluation reaches the caller through the answers; its record is not kept.
    self.attr("evaluate_all_answers")(answersheet, question_paper);
    say(texts::kFinished);
    return answersheet;
}

}  // namespace tovrane::sheet_pipeline
