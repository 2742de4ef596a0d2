// Helpers shared by the facade's operations.
#include "tovrane/support.hpp"

#include "engine/grading/marks.hpp"
#include "engine/text/facade_texts.hpp"

namespace tovrane::facade::detail {

namespace txt = tovrane::text::facade;

namespace {

constexpr const char* kModuleName = "tovrane_core.tovrane";

// Module-level classes live as long as the interpreter; these references are never dropped.
PyObject* g_tovrane_error = nullptr;
PyObject* g_configuration_error = nullptr;
PyObject* g_processing_error = nullptr;
PyObject* g_validation_error = nullptr;

PyObject* new_error_class(py::module_& m, const char* name, const char* doc, PyObject* base) {
    std::string qualified = fmt::format("{}.{}", kModuleName, name);
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (cls == nullptr) throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(cls));
    return cls;
}

}  // namespace

void create_error_classes(py::module_& m) {
    g_tovrane_error = new_error_class(m, "TovraneError", txt::kTovraneErrorDoc, PyExc_Exception);
    g_configuration_error =
        new_error_class(m, "ConfigurationError", txt::kConfigurationErrorDoc, g_tovrane_error);
    g_processing_error = new_error_class(m, "ProcessingError", txt::kProcessingErrorDoc, g_tovrane_error);
    g_validation_error = new_error_class(m, "ValidationError", txt::kValidationErrorDoc, g_tovrane_error);
}

py::handle tovrane_error() { return g_tovrane_error; }
py::handle configuration_error() { return g_configuration_error; }
py::handle processing_error() { return g_processing_error; }
py::handle validation_error() { return g_validation_error; }

void bad_argument(py::handle value, const char* name, const char* expected) {
    raise(PyExc_TypeError, fill(txt::kBadArgument, fmt::arg("name", name), fmt::arg("expected", expected),
                                fmt::arg("type", text(py::type::of(value).attr("__name__")))));
}

bool contains(py::handle container, py::handle item) {
    int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

bool is_instance(py::handle obj, py::handle cls) {
    int result = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

std::string len_text(py::handle obj) {
    return std::to_string(py::len(obj));
}

py::object get_or(py::handle record, const char* key, py::object fallback) {
    return record.attr("get")(key, std::move(fallback));
}

std::optional<double> non_negative_number(py::handle value) {
    std::optional<double> number = finite_float(value);
    if (number && !grading::valid_criterion_mark(*number)) return std::nullopt;
    return number;
}

std::optional<double> positive_number(py::handle value) {
    std::optional<double> number = finite_float(value);
    if (number && !grading::valid_question_marks(*number)) return std::nullopt;
    return number;
}

void require_text(py::handle value, const char* name) {
    if (!PyUnicode_Check(value.ptr())) bad_argument(value, name, "str");
}

void require_list_or_none(py::handle value, const char* name) {
    if (!value.is_none() && !PyList_Check(value.ptr())) bad_argument(value, name, "a list or None");
}

void require_exact_list(py::handle value, const char* name) {
    if (!PyList_CheckExact(value.ptr())) bad_argument(value, name, "a list");
}

void require_dict(py::handle value, const char* name) {
    if (!PyDict_Check(value.ptr())) bad_argument(value, name, "a dict");
}

py::object question_paper_class() {
    return py_util::module_attr("tovrane_core.datastructures.question_paper", "QuestionPaper");
}

py::object question_class() {
    return py_util::module_attr("tovrane_core.datastructures.question_paper", "Question");
}

py::object rubric_class() {
    return py_util::module_attr("tovrane_core.datastructures.rubric", "Rubric");
}

py::object criterion_class() {
    return py_util::module_attr("tovrane_core.datastructures.rubric", "Criterion");
}

py::object answersheet_class() {
    return py_util::module_attr("tovrane_core.datastructures.answersheet", "Answersheet");
}

py::object model_broker_class() {
    return py_util::module_attr("tovrane_core.model_broker", "ModelBroker");
}

py::object extractor_client_class() {
    return py_util::module_attr("tovrane_core.ocr_extractor.extractor_client", "ExtractorClient");
}

py::object paper_pipeline_class() {
    return py_util::module_attr("tovrane_core.paper_pipeline", "PaperPipeline");
}

py::object sheet_pipeline_class() {
    return py_util::module_attr("tovrane_core.sheet_pipeline", "SheetPipeline");
}

py::object config_class() {
    return py_util::module_attr(kModuleName, "TovraneConfig");
}

py::object tovrane_class() {
    return py_util::module_attr(kModuleName, "Tovrane");
}

void record_outcome(py::handle self, const char* key, const py::dict& record) {
    self.attr("last_processing_summary")[key] = record;
}

}  // namespace tovrane::facade::detail
