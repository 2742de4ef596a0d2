// PaperPipeline construction, collaborator setters and PDF processing.
#include "engine/text/paper_texts.hpp"
#include "paper_pipeline/ops.hpp"
#include "paper_pipeline/support.hpp"

namespace tovrane::paper {

namespace t = text::paper;
using namespace detail;

namespace {

void require_instance(py::handle value, PyObject* type, const char* name, const char* expected) {
    if (PyObject_IsInstance(value.ptr(), type) == 1) return;
    if (PyErr_Occurred()) throw py::error_already_set();
    raise(PyExc_TypeError, fill(t::kBadArgument, fmt::arg("name", name), fmt::arg("expected", expected),
                                fmt::arg("type", text(py::type::of(value).attr("__name__")))));
}

void check_arguments(py::handle pdf_path, py::handle subject, py::handle language,
                     py::handle class_level, py::handle page_numbers) {
    auto* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    require_instance(pdf_path, str_type, "pdf_path", "str");
    require_instance(subject, str_type, "subject", "str");
    require_instance(language, str_type, "language", "str");
    require_instance(class_level, str_type, "class_level", "str");
    if (!page_numbers.is_none())
        require_instance(page_numbers, reinterpret_cast<PyObject*>(&PyList_Type), "page_numbers",
                         "a list or None");
}

bool is_regular_file(py::handle path) {
    return py_util::module_attr("os.path", "isfile")(path).cast<bool>();
}

// Recommendation, switch and extraction; stores and returns the page texts.
void extract(py::object self, py::handle pdf_path, py::handle subject, py::handle page_numbers) {
    py::object recommended = extractor_client_class().attr("get_recommended_extractor_for_subject")(subject);
    py::object extractor = self.attr("extractor_client");
    extractor.attr("change_extractor")(recommended);
    py::object pages = extractor.attr("process_pdf")(pdf_path, page_numbers);
    self.attr("extracted_texts") = pages;
    say(t::kExtracted, fmt::arg("n", len_text(pages)));
}

py::object parse(py::object self, py::handle subject, py::handle language, py::handle class_level) {
    py::object paper = self.attr("model_broker").attr("parseQuestionPaper")(
        self.attr("extracted_texts"), subject, language, class_level);
    self.attr("processed_subject") = subject;
    self.attr("processed_language") = language;
    self.attr("processed_class_level") = class_level;
    say(t::kParsed, fmt::arg("k", len_text(paper.attr("get_question_ids")())));
    say(t::kTotalMarks, fmt::arg("total", text(paper.attr("get_total_marks")())));
    return paper;
}

}  // namespace

void init(py::object self, py::object extractor_client, py::object model_broker) {
    py_util::load_dotenv();
    self.attr("extractor_client") = extractor_client;
    self.attr("model_broker") = model_broker;
    self.attr("extracted_texts") = py::none();
    self.attr("processed_subject") = py::none();
    self.attr("processed_language") = py::none();
    self.attr("processed_class_level") = py::none();
}

void set_extractor_client(py::object self, py::object extractor_client) {
    if (!py::isinstance(extractor_client, extractor_client_class())) raise(PyExc_TypeError, t::kBadExtractor);
    self.attr("extractor_client") = extractor_client;
}

void set_model_broker(py::object self, py::object model_broker) {
    if (!py::isinstance(model_broker, model_broker_class())) raise(PyExc_TypeError, t::kBadBroker);
    self.attr("model_broker") = model_broker;
}

py::object process_pdf(py::object self, py::object pdf_path, py::object subject, py::object language,
                       py::object class_level, py::object page_numbers) {
    check_arguments(pdf_path, subject, language, class_level, page_numbers);
    if (!is_regular_file(pdf_path))
        raise(PyExc_FileNotFoundError, fill(t::kPdfNotFound, fmt::arg("pdf_path", text(pdf_path))));

    say(t::kProcessingPdf, fmt::arg("pdf_path", text(pdf_path)));
    say(t::kSubject, fmt::arg("subject", text(subject)));
    say(t::kLanguage, fmt::arg("language", text(language)));
    say(t::kClassLevel, fmt::arg("class_level", text(class_level)));
    say(t::kUsingExtractor);
    say(t::kStepExtract);
    if (!page_numbers.is_none() && py::len(page_numbers) > 0)
        say(t::kProcessingPages, fmt::arg("page_numbers", text(page_numbers)));
    else
        say(t::kProcessingAllPages);

    guarded([&] { extract(self, pdf_path, subject, page_numbers); },
                [](const std::string& e) { return fill(t::kExtractFailed, fmt::arg("message", e)); });

    say(t::kStepParse);
    return guarded([&] { return parse(self, subject, language, class_level); },
                       [](const std::string& e) { return fill(t::kParseFailed, fmt::arg("message", e)); });
}

}  // namespace tovrane::paper
