// Python module tovrane_core.paper_pipeline: class PaperPipeline (question paper PDF to
// question paper, rubrics and reference answers, validation, summary, saving).
#include <pybind11/pybind11.h>

#include "common/binding.hpp"
#include "paper_pipeline/operations.hpp"

PYBIND11_MODULE(paper_pipeline, m) {
    namespace py = pybind11;
    using namespace tovrane::paper_pipeline;
    m.doc() = "Question paper pipeline: PDF to question paper, rubrics, reference answers, reports.";

    // Each docstring is headed by its text signature (py_util::Signed).
    py::options options;
    options.disable_function_signatures();

    py::class_<PaperPipeline> cls(m, "PaperPipeline", py::dynamic_attr(),
                                  "Question paper PDF to QuestionPaper; rubrics and reference answers for its "
                                  "questions; validation, summary and saving. Lines are prefixed [PaperPipeline].");
    // construction and PDF processing
    tovrane::py_util::def_init(cls, &init, py::arg("extractor_client"), py::arg("model_broker"),
                               "Loads the dotenv file and keeps both collaborators as given.");
    tovrane::py_util::Signed(cls)
        .def("set_extractor_client", &set_extractor_client, py::arg("extractor_client"),
             "Replaces the extractor; raises TypeError unless it is an ExtractorClient.")
        .def("set_model_broker", &set_model_broker, py::arg("model_broker"),
             "Replaces the broker; raises TypeError unless it is a ModelBroker.")
        .def("process_pdf", &process_pdf, py::arg("pdf_path"), py::arg("subject"), py::arg("language"),
             py::arg("class_level"), py::arg("page_numbers") = py::none(),
             "Reads the PDF (a str or os.PathLike) with the extractor recommended for the subject and parses it "
             "into a new QuestionPaper. Raises TypeError for wrong argument types, FileNotFoundError for a missing "
             "file, RuntimeError when extraction or parsing fails.")
        // rubrics and reference answers
        .def("generate_rubrics_for_all_questions", &generate_rubrics_for_all_questions, py::arg("question_paper"),
             "Generates a rubric for every question that lacks one, in one batch; stores each in its question and "
             "returns a dict of identifier to Rubric.")
        .def("generate_rubrics_for_all_questions_async", &generate_rubrics_for_all_questions_async,
             py::arg("question_paper"), "Coroutine twin of generate_rubrics_for_all_questions.")
        .def("_generate_rubrics_sync_fallback", &generate_rubrics_sync_fallback, py::arg("question_paper"),
             py::arg("questions_to_process"),
             "Generates the listed rubrics one at a time, when the batch cannot run.")
        .def("generate_rubric_for_question", &generate_rubric_for_question, py::arg("question_paper"),
             py::arg("q_id"), "Generates, stores and returns the Rubric of one question. Raises ValueError for an "
             "unknown q_id, RuntimeError when generation fails.")
        .def("generate_reference_answers_for_all_questions", &generate_reference_answers_for_all_questions,
             py::arg("question_paper"),
             "Generates a reference answer for every question with a rubric and none yet, in one batch; stores "
             "each and returns a dict of identifier to text.")
        .def("generate_reference_answers_for_all_questions_async",
             &generate_reference_answers_for_all_questions_async, py::arg("question_paper"),
             "Coroutine twin of generate_reference_answers_for_all_questions.")
        .def("_generate_ref_answers_sync_fallback", &generate_ref_answers_sync_fallback,
             py::arg("question_paper"), py::arg("questions_to_process"),
             "Generates the listed reference answers one at a time, when the batch cannot run.")
        .def("generate_reference_answer_for_question", &generate_reference_answer_for_question,
             py::arg("question_paper"), py::arg("q_id"),
             "Generates, stores and returns the reference answer of one question. Raises ValueError for an "
             "unknown q_id or a question without rubric, RuntimeError when generation fails.")
        // validation, summary and saving
        .def("validate_processing", &validate_processing, py::arg("question_paper"),
             "Checks the paper; returns a dict with valid, issues and warnings.")
        .def("get_summary", &get_summary, py::arg("question_paper"),
             "The paper's summary as a dict: subject, language, class level, questions, marks, rubric and "
             "reference-answer coverage.")
        .def("print_summary", &print_summary, py::arg("question_paper"), "Prints the paper's report.")
        .def("get_input_data_format", &get_input_data_format, py::arg("question_paper"),
             py::arg("answer_pages") = "", "The paper as the evaluation input record (a JSON-ready dict).")
        .def("save_to_file", &save_to_file, py::arg("question_paper"), py::arg("output_path"),
             py::arg("answer_pages") = "", py::arg("format") = "json",
             "Writes the paper atomically to output_path (a str or os.PathLike) as the JSON evaluation input "
             "record or, for any other format, as the text report.");
}
