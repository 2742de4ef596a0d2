// Python module tovrane_core.paper_pipeline: class PaperPipeline (question paper PDF to
// question paper, rubrics and reference answers, validation, summary, saving).
#include <pybind11/pybind11.h>

#include "paper_pipeline/ops.hpp"

namespace py = pybind11;
namespace ops = tovrane::paper;

namespace {

// The C++ side holds nothing: all state lives in the instance dictionary, so hosts and tests
// can read and replace every attribute.
struct PaperPipeline {};

// __init__ must first build the (empty) C++ part, then set the instance attributes, which a
// pybind11 factory cannot reach. The plain constructor is kept private to this wrapper.
void define_init(py::class_<PaperPipeline>& cls) {
    cls.def(py::init<>());
    py::object build_native = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [build_native](py::object self, py::object extractor_client, py::object model_broker) {
            build_native(self);
            ops::init(self, extractor_client, model_broker);
        },
        py::name("__init__"), py::is_method(cls), py::arg("extractor_client"), py::arg("model_broker"));
}

}  // namespace

PYBIND11_MODULE(paper_pipeline, m) {
    m.doc() = "Question paper pipeline: PDF to question paper, rubrics, reference answers, reports.";

    py::class_<PaperPipeline> cls(m, "PaperPipeline", py::dynamic_attr());
    define_init(cls);
    cls.def("set_extractor_client", &ops::set_extractor_client, py::arg("extractor_client"))
        .def("set_model_broker", &ops::set_model_broker, py::arg("model_broker"))
        .def("process_pdf", &ops::process_pdf, py::arg("pdf_path"), py::arg("subject"), py::arg("language"),
             py::arg("class_level"), py::arg("page_numbers") = py::none())
        // rubrics and reference answers
        .def("generate_rubrics_for_all_questions", &ops::generate_rubrics_for_all_questions,
             py::arg("question_paper"))
        .def("generate_rubrics_for_all_questions_async", &ops::generate_rubrics_for_all_questions_async,
             py::arg("question_paper"))
        .def("_generate_rubrics_sync_fallback", &ops::generate_rubrics_sync_fallback, py::arg("question_paper"),
             py::arg("questions_to_process"))
        .def("generate_rubric_for_question", &ops::generate_rubric_for_question, py::arg("question_paper"),
             py::arg("q_id"))
        .def("generate_reference_answers_for_all_questions", &ops::generate_reference_answers_for_all_questions,
             py::arg("question_paper"))
        .def("generate_reference_answers_for_all_questions_async",
             &ops::generate_reference_answers_for_all_questions_async, py::arg("question_paper"))
        .def("_generate_ref_answers_sync_fallback", &ops::generate_ref_answers_sync_fallback,
             py::arg("question_paper"), py::arg("questions_to_process"))
        .def("generate_reference_answer_for_question", &ops::generate_reference_answer_for_question,
             py::arg("question_paper"), py::arg("q_id"))
        // validation, summary and saving
        .def("validate_processing", &ops::validate_processing, py::arg("question_paper"))
        .def("get_summary", &ops::get_summary, py::arg("question_paper"))
        .def("print_summary", &ops::print_summary, py::arg("question_paper"))
        .def("get_input_data_format", &ops::get_input_data_format, py::arg("question_paper"),
             py::arg("answer_pages") = "")
        .def("save_to_file", &ops::save_to_file, py::arg("question_paper"), py::arg("output_path"),
             py::arg("answer_pages") = "", py::arg("format") = "json");
}
