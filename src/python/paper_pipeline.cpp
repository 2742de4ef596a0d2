// Python module tovrane_core.paper_pipeline: class PaperPipeline (question paper PDF to
// question paper, rubrics and reference answers, validation, summary, saving).
#include <pybind11/pybind11.h>

#include "common/binding.hpp"
#include "paper_pipeline/operations.hpp"

PYBIND11_MODULE(paper_pipeline, m) {
    namespace py = pybind11;
    using namespace tovrane::paper_pipeline;
    m.doc() = "Question paper pipeline: PDF to question paper, rubrics, reference answers, reports.";

    py::class_<PaperPipeline> cls(m, "PaperPipeline", py::dynamic_attr());
    // construction and PDF processing
    tovrane::py_util::def_init(cls, &init, py::arg("extractor_client"), py::arg("model_broker"));
    cls.def("set_extractor_client", &set_extractor_client, py::arg("extractor_client"))
        .def("set_model_broker", &set_model_broker, py::arg("model_broker"))
        .def("process_pdf", &process_pdf, py::arg("pdf_path"), py::arg("subject"), py::arg("language"),
             py::arg("class_level"), py::arg("page_numbers") = py::none())
        // rubrics and reference answers
        .def("generate_rubrics_for_all_questions", &generate_rubrics_for_all_questions, py::arg("question_paper"))
        .def("generate_rubrics_for_all_questions_async", &generate_rubrics_for_all_questions_async,
             py::arg("question_paper"))
        .def("_generate_rubrics_sync_fallback", &generate_rubrics_sync_fallback, py::arg("question_paper"),
             py::arg("questions_to_process"))
        .def("generate_rubric_for_question", &generate_rubric_for_question, py::arg("question_paper"),
             py::arg("q_id"))
        .def("generate_reference_answers_for_all_questions", &generate_reference_answers_for_all_questions,
             py::arg("question_paper"))
        .def("generate_reference_answers_for_all_questions_async",
             &generate_reference_answers_for_all_questions_async, py::arg("question_paper"))
        .def("_generate_ref_answers_sync_fallback", &generate_ref_answers_sync_fallback,
             py::arg("question_paper"), py::arg("questions_to_process"))
        .def("generate_reference_answer_for_question", &generate_reference_answer_for_question,
             py::arg("question_paper"), py::arg("q_id"))
        // validation, summary and saving
        .def("validate_processing", &validate_processing, py::arg("question_paper"))
        .def("get_summary", &get_summary, py::arg("question_paper"))
        .def("print_summary", &print_summary, py::arg("question_paper"))
        .def("get_input_data_format", &get_input_data_format, py::arg("question_paper"),
             py::arg("answer_pages") = "")
        .def("save_to_file", &save_to_file, py::arg("question_paper"), py::arg("output_path"),
             py::arg("answer_pages") = "", py::arg("format") = "json");
}
