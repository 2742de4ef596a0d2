// PaperPipeline's PDF processing: checks, extraction, parsing into a question paper.
#include <fmt/format.h>

#include "common/errors.hpp"
#include "common/files.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "engine/text/paper_pipeline_texts.hpp"
#include "paper_pipeline/operations.hpp"

namespace tovrane::paper_pipeline {

namespace texts = tovrane::text::paper_pipeline;
using namespace fmt::literals;
using namespace py_util;

namespace {

void check_arguments(py::handle pdf_path, py::handle subject, py::handle language, py::handle class_level,
                     py::handle page_numbers) {
    const py::handle str_type(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    require_instance(pdf_path, str_type, "pdf_path", "str");
    require_instance(subject, str_type, "subject", "str");
    require_instance(language, str_type, "language", "str");
    require_instance(class_level, str_type, "class_level", "str");
    if (!page_numbers.is_none()) {
        require_instance(page_numbers, reinterpret_cast<PyObject*>(&PyList_Type), "page_numbers", "a list or None");
    }
}

// Recommendation, switch and extraction; stores the page texts.
void extract(py::object self, py::handle pdf_path, py::handle subject, py::handle page_numbers) {
    py::object recommended = names::extractor_client_class().attr("get_recommended_extractor_for_subject")(subject);
    py::object extractor = self.attr("extractor_client");
    extractor.attr("change_extractor")(recommended);
    py::object pages = extractor.attr("process_pdf")(pdf_path, page_numbers);
    self.attr("extracted_texts") = pages;
    say(texts::kExtracted, "n"_a = len_text(pages));
}

py::object parse(py::object self, py::handle subject, py::handle language, py::handle class_level) {
    py::object paper = self.attr("model_broker").attr("parseQuestionPaper")(self.attr("extracted_texts"), subject,
                                                                            language, class_level);
    self.attr("processed_subject") = subject;
    self.attr("processed_language") = language;
    self.attr("processed_class_level") = class_level;
    say(texts::kParsed, "k"_a = len_text(paper.attr("get_question_ids")()));
    say(texts::kTotalMarks, "total"_a = str(paper.attr("get_total_marks")()));
    return paper;
}

}  // namespace

py::object process_pdf(py::object self, py::object pdf_path, py::object subject, py::object language,
                       py::object class_level, py::object page_numbers) {
    pdf_path = path_text(std::move(pdf_path));
    check_arguments(pdf_path, subject, language, class_level, page_numbers);
    if (!module_attr("os.path", "isfile")(pdf_path).cast<bool>()) {
        raise(PyExc_FileNotFoundError, fmt::format(texts::kPdfNotFound, "pdf_path"_a = str(pdf_path)));
    }

    say(texts::kProcessingPdf, "pdf_path"_a = str(pdf_path));
    say(texts::kSubject, "subject"_a = str(subject));
    say(texts::kLanguage, "language"_a = str(language));
    say(texts::kClassLevel, "class_level"_a = str(class_level));
    say(texts::kUsingExtractor);
    say(texts::kStepExtract);
    if (!page_numbers.is_none() && py::len(page_numbers) > 0) {
        say(texts::kProcessingPages, "page_numbers"_a = str(page_numbers));
    } else {
        say(texts::kProcessingAllPages);
    }

    guarded([&] { extract(self, pdf_path, subject, page_numbers); }, with_error<texts::kExtractFailed>);

    say(texts::kStepParse);
    return guarded([&] { return parse(self, subject, language, class_level); }, with_error<texts::kParseFailed>);
}

}  // namespace tovrane::paper_pipeline
