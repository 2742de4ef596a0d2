// Python module tovrane_core.sheet_pipeline: the answersheet pipeline, PDF to evaluated answers.
#include <pybind11/pybind11.h>

#include "sheet_pipeline/operations.hpp"

namespace py = pybind11;
namespace sp = tovrane::sheet_pipeline;

namespace {

// pybind11 hands a new-style constructor the instance's value slot; the native core
// is empty, the attributes go into the instance dictionary.
void construct(py::detail::value_and_holder& v_h, py::object extractor_client, py::object model_broker) {
    v_h.value_ptr() = new sp::SheetPipeline();
    sp::init(py::handle(reinterpret_cast<PyObject*>(v_h.inst)), std::move(extractor_client), std::move(model_broker));
}

}  // namespace

PYBIND11_MODULE(sheet_pipeline, m) {
    m.doc() = "Answersheet pipeline: extraction, parsing, evaluation, reporting and saving.";

    py::class_<sp::SheetPipeline>(m, "SheetPipeline", py::dynamic_attr())
        .def("__init__", &construct, py::detail::is_new_style_constructor(), py::arg("extractor_client"),
             py::arg("model_broker"))
        // Construction and PDF processing
        .def("process_pdf", &sp::process_pdf, py::arg("pdf_path"), py::arg("question_paper"),
             py::arg("page_numbers") = py::none())
        .def("process_pdf_async", &sp::process_pdf_async, py::arg("pdf_path"), py::arg("question_paper"),
             py::arg("page_numbers") = py::none())
        // Evaluation
        .def("evaluate_all_answers", &sp::evaluate_all_answers, py::arg("answersheet"), py::arg("question_paper"))
        .def("_evaluate_all_answers_sync", &sp::evaluate_all_answers_sync, py::arg("answersheet"),
             py::arg("question_paper"))
        .def("evaluate_answer_by_qid", &sp::evaluate_answer_by_qid, py::arg("q_id"), py::arg("answersheet"),
             py::arg("question_paper"))
        .def("_evaluate_single_answer_sync", &sp::evaluate_single_answer_sync, py::arg("q_id"),
             py::arg("answersheet"), py::arg("question_paper"))
        .def("_evaluate_single_answer", &sp::evaluate_single_answer, py::arg("q_id"), py::arg("answersheet"),
             py::arg("question_paper"))
        .def("evaluate_all_answers_async", &sp::evaluate_all_answers_async, py::arg("answersheet"),
             py::arg("question_paper"))
        .def("_evaluate_all_answers_async", &sp::evaluate_all_answers_async_impl, py::arg("answersheet"),
             py::arg("question_paper"))
        .def("evaluate_answer_by_qid_async", &sp::evaluate_answer_by_qid_async, py::arg("q_id"),
             py::arg("answersheet"), py::arg("question_paper"))
        .def("_evaluate_single_answer_async", &sp::evaluate_single_answer_async, py::arg("q_id"),
             py::arg("answersheet"), py::arg("question_paper"))
        // Validation, summary and saving
        .def("validate_processing", &sp::validate_processing, py::arg("answersheet"), py::arg("question_paper"))
        .def("get_summary", &sp::get_summary, py::arg("answersheet"), py::arg("question_paper"))
        .def("print_summary", &sp::print_summary, py::arg("answersheet"), py::arg("question_paper"))
        .def("get_answersheet_format", &sp::get_answersheet_format, py::arg("answersheet"),
             py::arg("question_paper"))
        .def("save_to_file", &sp::save_to_file, py::arg("answersheet"), py::arg("question_paper"),
             py::arg("output_path"), py::arg("format") = "json");
}
