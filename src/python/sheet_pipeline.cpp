// Python module tovrane_core.sheet_pipeline: the answersheet pipeline, PDF to evaluated answers.
#include <pybind11/pybind11.h>

#include "common/binding.hpp"
#include "sheet_pipeline/operations.hpp"

PYBIND11_MODULE(sheet_pipeline, m) {
    namespace py = pybind11;
    using namespace tovrane::sheet_pipeline;
    m.doc() = "Answersheet pipeline: extraction, parsing, evaluation, reporting and saving.";

    // Each docstring is headed by its text signature (py_util::Signed).
    py::options options;
    options.disable_function_signatures();

    py::class_<SheetPipeline> cls(m, "SheetPipeline", py::dynamic_attr(),
                                  "Answersheet PDF to evaluated Answersheet against a question paper; validation, "
                                  "summary and saving. Lines are prefixed [SheetPipeline]:.");
    // Construction and PDF processing
    tovrane::py_util::def_init(cls, &init, py::arg("extractor_client"), py::arg("model_broker"),
                               "Keeps both collaborators as given.");
    tovrane::py_util::Signed(cls)
        .def("process_pdf", &process_pdf, py::arg("pdf_path"), py::arg("question_paper"),
             py::arg("page_numbers") = py::none(),
             "Reads the PDF (a str or os.PathLike), parses the answers against the paper, evaluates them and "
             "returns the Answersheet. Raises TypeError for wrong argument types, FileNotFoundError for a missing "
             "file, RuntimeError when extraction or parsing fails.")
        .def("process_pdf_async", &process_pdf_async, py::arg("pdf_path"), py::arg("question_paper"),
             py::arg("page_numbers") = py::none(),
             "Coroutine twin of process_pdf; the extraction itself blocks the loop.")
        // Evaluation
        .def("evaluate_all_answers", &evaluate_all_answers, py::arg("answersheet"), py::arg("question_paper"),
             "Evaluates every answered question that has a rubric and a reference answer; returns a dict of "
             "identifier to evaluation result.")
        .def("_evaluate_all_answers_sync", &evaluate_all_answers_sync, py::arg("answersheet"),
             py::arg("question_paper"), "evaluate_all_answers one answer at a time.")
        .def("evaluate_answer_by_qid", &evaluate_answer_by_qid, py::arg("q_id"), py::arg("answersheet"),
             py::arg("question_paper"), "Evaluates one answer; returns its evaluation result or skip result.")
        .def("_evaluate_single_answer_sync", &evaluate_single_answer_sync, py::arg("q_id"), py::arg("answersheet"),
             py::arg("question_paper"), "Evaluates one answer with a blocking call.")
        .def("_evaluate_single_answer", &evaluate_single_answer, py::arg("q_id"), py::arg("answersheet"),
             py::arg("question_paper"), "Evaluates one answer with a blocking call and a shorter progress line.")
        .def("evaluate_all_answers_async", &evaluate_all_answers_async, py::arg("answersheet"),
             py::arg("question_paper"), "Coroutine twin of evaluate_all_answers, in one evaluation batch.")
        .def("_evaluate_all_answers_async", &evaluate_all_answers_async_impl, py::arg("answersheet"),
             py::arg("question_paper"), "Coroutine: the evaluation batch behind evaluate_all_answers_async.")
        .def("evaluate_answer_by_qid_async", &evaluate_answer_by_qid_async, py::arg("q_id"), py::arg("answersheet"),
             py::arg("question_paper"), "Coroutine twin of evaluate_answer_by_qid.")
        .def("_evaluate_single_answer_async", &evaluate_single_answer_async, py::arg("q_id"),
             py::arg("answersheet"), py::arg("question_paper"),
             "Coroutine: evaluates one answer through the async broker call.")
        // Validation, summary and saving
        .def("validate_processing", &validate_processing, py::arg("answersheet"), py::arg("question_paper"),
             "Checks the answersheet against the paper; returns a dict with valid, issues and warnings.")
        .def("get_summary", &get_summary, py::arg("answersheet"), py::arg("question_paper"),
             "The answersheet's summary as a dict: questions attempted and evaluated, marks awarded and possible.")
        .def("print_summary", &print_summary, py::arg("answersheet"), py::arg("question_paper"),
             "Prints the answersheet's report.")
        .def("get_answersheet_format", &get_answersheet_format, py::arg("answersheet"), py::arg("question_paper"),
             "One JSON-ready export entry per question of the paper.")
        .def("save_to_file", &save_to_file, py::arg("answersheet"), py::arg("question_paper"),
             py::arg("output_path"), py::arg("format") = "json",
             "Writes the answersheet atomically to output_path (a str or os.PathLike) as JSON or, for any other "
             "format, as the text report.");
}
