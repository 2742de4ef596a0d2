// Python module tovrane_core.sheet_pipeline: the answersheet pipeline, PDF to evaluated answers.
#include <pybind11/pybind11.h>

#include "common/binding.hpp"
#include "sheet_pipeline/operations.hpp"

PYBIND11_MODULE(sheet_pipeline, m) {
    namespace py = pybind11;
    using namespace tovrane::sheet_pipeline;
    m.doc() = "Answersheet pipeline: extraction, parsing, evaluation, reporting and saving.";

    py::class_<SheetPipeline> cls(m, "SheetPipeline", py::dynamic_attr());
    // Construction and PDF processing
    tovrane::py_util::def_init(cls, &init, py::arg("extractor_client"), py::arg("model_broker"));
    cls.def("process_pdf", &process_pdf, py::arg("pdf_path"), py::arg("question_paper"),
            py::arg("page_numbers") = py::none())
        .def("process_pdf_async", &process_pdf_async, py::arg("pdf_path"), py::arg("question_paper"),
             py::arg("page_numbers") = py::none())
        // Evaluation
        .def("evaluate_all_answers", &evaluate_all_answers, py::arg("answersheet"), py::arg("question_paper"))
        .def("_evaluate_all_answers_sync", &evaluate_all_answers_sync, py::arg("answersheet"),
             py::arg("question_paper"))
        .def("evaluate_answer_by_qid", &evaluate_answer_by_qid, py::arg("q_id"), py::arg("answersheet"),
             py::arg("question_paper"))
        .def("_evaluate_single_answer_sync", &evaluate_single_answer_sync, py::arg("q_id"), py::arg("answersheet"),
             py::arg("question_paper"))
        .def("_evaluate_single_answer", &evaluate_single_answer, py::arg("q_id"), py::arg("answersheet"),
             py::arg("question_paper"))
        .def("evaluate_all_answers_async", &evaluate_all_answers_async, py::arg("answersheet"),
             py::arg("question_paper"))
        .def("_evaluate_all_answers_async", &evaluate_all_answers_async_impl, py::arg("answersheet"),
             py::arg("question_paper"))
        .def("evaluate_answer_by_qid_async", &evaluate_answer_by_qid_async, py::arg("q_id"), py::arg("answersheet"),
             py::arg("question_paper"))
        .def("_evaluate_single_answer_async", &evaluate_single_answer_async, py::arg("q_id"),
             py::arg("answersheet"), py::arg("question_paper"))
        // Validation, summary and saving
        .def("validate_processing", &validate_processing, py::arg("answersheet"), py::arg("question_paper"))
        .def("get_summary", &get_summary, py::arg("answersheet"), py::arg("question_paper"))
        .def("print_summary", &print_summary, py::arg("answersheet"), py::arg("question_paper"))
        .def("get_answersheet_format", &get_answersheet_format, py::arg("answersheet"), py::arg("question_paper"))
        .def("save_to_file", &save_to_file, py::arg("answersheet"), py::arg("question_paper"),
             py::arg("output_path"), py::arg("format") = "json");
}
