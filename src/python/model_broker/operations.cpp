// Question papers, rubrics, reference answers, answersheets and evaluations through the
// language model. Each operation builds its prompts, asks the broker's `_make_api_call`
// (or `_make_api_call_async`) for a structured answer and turns it into document-model
// objects. Everything is reached through Python attributes at call time, so hosts and
// tests can substitute the call path, the response models or the document model.
#include "model_broker/operations.hpp"

#include "common/pyco.hpp"
#include "common/pyutil.hpp"
#include "engine/grading/marks.hpp"
#include "engine/text/prompts.hpp"

#include <cmath>
#include <string>
#include <string_view>
#include <utility>

namespace tovrane::broker {

namespace py = pybind11;
namespace prompts = tovrane::text::prompts;

namespace detail {
namespace {

using prompts::fill;

constexpr const char* broker_module = "tovrane_core.model_broker";
constexpr const char* paper_module = "tovrane_core.datastructures.question_paper";
constexpr const char* rubric_module = "tovrane_core.datastructures.rubric";
constexpr const char* sheet_module = "tovrane_core.datastructures.answersheet";

// ---------------------------------------------------------------------------------------
// Python semantics

// Prompts are assembled as UTF-8 bytes; "surrogatepass" both ways keeps every text that
// str() can produce (lone surrogates too) intact, as an f-string would.
py::str to_py(std::string_view s) {
    PyObject* text = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

std::string text_of(py::handle obj) {
    py::str text(obj);
    PyObject* utf8 = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass");
    if (!utf8) throw py::error_already_set();
    return std::string(py::reinterpret_steal<py::bytes>(utf8));
}

std::string type_name(py::handle obj) {
    return py_util::str(py::type::handle_of(obj).attr("__name__"));
}

using py_util::contains;
using py_util::truthy;

/// Python's sum() over a list, so 0 for none and int/float mixing as Python does it.
py::object python_sum(const py::list& values) {
    return py_util::module_attr("builtins", "sum")(values);
}

// ---------------------------------------------------------------------------------------
// Argument checks: type errors before any work

[[noreturn]] void wrong_type(const char* function, const char* argument, const char* expected,
                             py::handle actual) {
    throw py::type_error(fill(prompts::wrong_argument_type, {{"function", function},
                                                             {"argument", argument},
                                                             {"expected", expected},
                                                             {"actual", type_name(actual)}}));
}

// PyUnicode_Check rather than a pybind11 str parameter: that one also takes bytes.
void require_text(py::handle value, const char* function, const char* argument) {
    if (!PyUnicode_Check(value.ptr())) wrong_type(function, argument, "str", value);
}

void require_dict(py::handle value, const char* function, const char* argument) {
    if (!PyDict_Check(value.ptr())) wrong_type(function, argument, "dict", value);
}

/// float(value) for numbers only: float() would also parse text.
py::object to_float(py::handle value, const char* function, const char* argument) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr())) {
        wrong_type(function, argument, "a number", value);
    }
    PyObject* converted = PyNumber_Float(value.ptr());
    if (!converted) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        wrong_type(function, argument, "a number", value);
    }
    return py::reinterpret_steal<py::object>(converted);
}

// ---------------------------------------------------------------------------------------
// Guarded sections

/// Inside a catch handler: the current error as a Python error when it is of an
/// ordinary kind. Anything else (cancellation, interrupts) is rethrown as it is.
py::error_already_set ordinary_error() {
    try {
        throw;
    } catch (py::error_already_set& err) {
        if (!py_util::is_ordinary(err)) throw;
        return std::move(err);
    } catch (py::builtin_exception& err) {
        err.set_error();
        return py::error_already_set();
    }
}

/// Inside a catch handler: raises RuntimeError(prefix + str(err)) caused by the
/// current ordinary error.
[[noreturn]] void raise_failure(std::string_view prefix) {
    py::error_already_set err = ordinary_error();
    const std::string message = std::string(prefix) + py_util::error_text(err);
    py::raise_from(err, PyExc_RuntimeError, message.c_str());
    throw py::error_already_set();
}

template <typename Body>
auto guarded(std::string_view prefix, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        raise_failure(prefix);
    }
}

// ---------------------------------------------------------------------------------------
// Prompt pieces

/// The pages in sorted() key order, one block each.
std::string combined_text(py::handle extracted_texts) {
    py::object pages = py::reinterpret_borrow<py::object>(extracted_texts);
    py::object keys = py_util::module_attr("builtins", "sorted")(pages);
    std::string out;
    for (py::handle key : keys) {
        py::object page_text = pages[key];
        out += fill(prompts::page_block, {{"page_key", text_of(key)}, {"page_text", text_of(page_text)}});
    }
    return out;
}

struct QuestionLines {
    std::string text;
    py::object last_id = py::str("");  ///< identifier of the last question listed
};

/// One "- id: text" line per question of the paper, in paper order.
QuestionLines question_lines(py::handle paper) {
    QuestionLines out;
    bool first = true;
    for (py::handle id : paper.attr("get_question_ids")()) {
        py::object question = paper.attr("get_question")(id);
        if (!first) out.text += '\n';
        first = false;
        out.text += fill(prompts::question_line,
                         {{"q_id", text_of(question.attr("q_id"))}, {"text", text_of(question.attr("text"))}});
        out.last_id = py::reinterpret_borrow<py::object>(id);
    }
    return out;
}

/// Lines of `line_template` for each criterion, numbered from 0, without a final line break.
std::string criteria_lines(py::handle rubric, std::string_view line_template) {
    std::string out;
    std::size_t index = 0;
    for (py::handle criterion : rubric.attr("criteria")) {
        if (index > 0) out += '\n';
        out += fill(line_template, {{"index", std::to_string(index)},
                                    {"statement", text_of(criterion.attr("statement"))},
                                    {"mark", text_of(criterion.attr("mark"))}});
        ++index;
    }
    return out;
}

py::list marks_of(py::handle rubric) {
    py::list marks;
    for (py::handle criterion : rubric.attr("criteria")) marks.append(criterion.attr("mark"));
    return marks;
}

struct Prompts {
    std::string system;
    std::string user;
};

// ---------------------------------------------------------------------------------------
// Marks the model produced: refused, never clamped, so a bad answer fails its operation

[[noreturn]] void refuse_marks(std::string_view message) { throw py::value_error(std::string(message)); }

/// Every criterion's mark valid and within the ceiling, so no total of them overflows.
void check_criterion_marks(py::handle criteria) {
    std::size_t index = 0;
    for (py::handle criterion : criteria) {
        py::float_ mark = py::float_(criterion.attr("mark"));
        if (!grading::valid_criterion_mark(mark) || grading::above_ceiling(mark)) {
            refuse_marks(fill(prompts::invalid_criterion_mark,
                              {{"index", std::to_string(index)}, {"mark", text_of(mark)}}));
        }
        ++index;
    }
}

// ---------------------------------------------------------------------------------------
// The model call

py::dict message(const char* role, std::string_view content) {
    py::dict m;
    m["role"] = role;
    m["content"] = to_py(content);
    return m;
}

py::list system_and_user(const Prompts& p) {
    py::list messages;
    messages.append(message("system", p.system));
    messages.append(message("user", p.user));
    return messages;
}

/// Keyword arguments of `_make_api_call`; the response model is looked up now.
py::dict call_arguments(py::list messages, std::string_view task_name, const char* response_model,
                        const std::string* additional_info) {
    py::dict kwargs;
    kwargs["messages"] = std::move(messages);
    kwargs["task_name"] = to_py(task_name);
    kwargs["response_format"] = py_util::module_attr(broker_module, response_model);
    if (additional_info) kwargs["additional_info"] = to_py(*additional_info);
    return kwargs;
}

py::object call_model(py::handle self, const py::dict& kwargs) {
    return self.attr("_make_api_call")(**kwargs);
}

/// The awaitable of the asynchronous call path.
py::object call_model_async(py::handle self, const py::dict& kwargs) {
    return self.attr("_make_api_call_async")(**kwargs);
}

/// The structured answer: choices[0].message.parsed.
py::object parsed_result(py::handle response) {
    return response.attr("choices")[py::int_(0)].attr("message").attr("parsed");
}

// ---------------------------------------------------------------------------------------
// Question paper parsing

void check_question_paper_arguments(const char* function, py::handle extracted_texts, py::handle subject,
                                    py::handle language, py::handle class_level) {
    require_dict(extracted_texts, function, "extracted_texts");
    require_text(subject, function, "subject");
    require_text(language, function, "language");
    require_text(class_level, function, "class_level");
}

Prompts question_paper_prompts(py::handle extracted_texts, py::handle subject, py::handle language) {
    const std::string combined = combined_text(extracted_texts);
    const std::string subject_text = text_of(subject);
    Prompts p;
    p.user = fill(prompts::question_paper_user,
                  {{"subject", subject_text}, {"language", text_of(language)}, {"combined_text", combined}});
    p.system = fill(prompts::question_paper_system, {{"subject", subject_text}});
    return p;
}

py::dict question_paper_call(const Prompts& p, py::handle extracted_texts, py::handle subject,
                             py::handle language, py::handle class_level) {
    const std::string info = fill(prompts::question_paper_info,
                                  {{"subject", text_of(subject)},
                                   {"language", text_of(language)},
                                   {"class_level", text_of(class_level)},
                                   {"page_count", std::to_string(py::len(extracted_texts))}});
    return call_arguments(system_and_user(p), prompts::task_parse_question_paper, "QuestionPaperResponse", &info);
}

enum class AddQuestion { alone, with_id };

py::object build_question_paper(py::handle response, py::handle subject, py::handle language,
                                py::handle class_level, AddQuestion form) {
    py::object parsed = parsed_result(response);
    py::object paper = py_util::module_attr(paper_module, "QuestionPaper")(
        py::arg("subject") = subject, py::arg("language") = language, py::arg("class_level") = class_level);
    py::object question_type = py_util::module_attr(paper_module, "Question");
    for (py::handle element : parsed.attr("questions")) {
        py::object q_id = element.attr("q_id");
        py::float_ max_marks = py::float_(element.attr("max_marks"));
        if (!grading::valid_parsed_marks(max_marks) || grading::above_ceiling(max_marks)) {
            refuse_marks(
                fill(prompts::invalid_question_marks, {{"q_id", text_of(q_id)}, {"marks", text_of(max_marks)}}));
        }
        py::object question = question_type(py::arg("q_id") = q_id, py::arg("text") = element.attr("question_text"),
                                            py::arg("max_marks") = max_marks);
        if (form == AddQuestion::alone) {
            paper.attr("add_question")(question);
        } else {
            paper.attr("add_question")(q_id, question);
        }
    }
    return paper;
}

py::object parse_question_paper(py::object self, py::object extracted_texts, py::object subject,
                                py::object language, py::object class_level) {
    check_question_paper_arguments("parseQuestionPaper", extracted_texts, subject, language, class_level);
    const Prompts p = question_paper_prompts(extracted_texts, subject, language);
    return guarded(prompts::failed_parse_question_paper, [&] {
        py::object response = call_model(self, question_paper_call(p, extracted_texts, subject, language, class_level));
        return build_question_paper(response, subject, language, class_level, AddQuestion::alone);
    });
}

pyco::Task parse_question_paper_task(py::object self, py::object extracted_texts, py::object subject,
                                      py::object language, py::object class_level) {
    const Prompts p = question_paper_prompts(extracted_texts, subject, language);
    try {
        py::object response =
            co_await call_model_async(self, question_paper_call(p, extracted_texts, subject, language, class_level));
        co_return build_question_paper(response, subject, language, class_level, AddQuestion::with_id);
    } catch (...) {
        raise_failure(prompts::failed_parse_question_paper);
    }
}

// Checks at call time, so a wrong argument never makes a coroutine object.
py::object parse_question_paper_async(py::object self, py::object extracted_texts, py::object subject,
                                      py::object language, py::object class_level) {
    check_question_paper_arguments("parseQuestionPaper_async", extracted_texts, subject, language, class_level);
    return pyco::to_python(parse_question_paper_task(std::move(self), std::move(extracted_texts), std::move(subject),
                                                     std::move(language), std::move(class_level)));
}

// ---------------------------------------------------------------------------------------
// Rubric generation

/// Checks the arguments and returns max_marks as a float.
py::object check_rubric_arguments(const char* function, py::handle question, py::handle max_marks,
                                  py::handle class_level, py::handle subject, py::handle reference_answer) {
    require_text(question, function, "question");
    py::object marks = to_float(max_marks, function, "max_marks");
    require_text(class_level, function, "class_level");
    require_text(subject, function, "subject");
    require_text(reference_answer, function, "reference_answer");
    return marks;
}

Prompts rubric_prompts(py::handle question, py::handle max_marks, py::handle class_level, py::handle subject,
                       py::handle reference_answer) {
    const std::string reference =
        py::len(reference_answer) > 0 ? text_of(reference_answer) : std::string(prompts::no_reference_answer);
    Prompts p;
    p.user = fill(prompts::rubric_user, {{"question", text_of(question)},
                                         {"reference_answer_text", reference},
                                         {"class_level", text_of(class_level)},
                                         {"subject", text_of(subject)},
                                         {"max_marks", text_of(max_marks)}});
    p.system = std::string(prompts::rubric_system);
    return p;
}

py::dict rubric_call(const Prompts& p, py::handle max_marks, py::handle subject) {
    const std::string info =
        fill(prompts::rubric_info, {{"max_marks", text_of(max_marks)}, {"subject", text_of(subject)}});
    return call_arguments(system_and_user(p), prompts::task_generate_rubric, "RubricResponse", &info);
}

py::object build_rubric(py::handle response) {
    py::object parsed = parsed_result(response);
    py::object criterion_type = py_util::module_attr(rubric_module, "Criterion");
    py::list criteria;
    for (py::handle element : parsed.attr("criteria")) {
        criteria.append(criterion_type(py::arg("statement") = element.attr("statement"),
                                       py::arg("mark") = py::float_(element.attr("mark"))));
    }
    check_criterion_marks(criteria);
    return py_util::module_attr(rubric_module, "Rubric")(criteria);
}

py::object generate_rubric(py::object self, py::object question, py::object max_marks, py::object class_level,
                           py::object subject, py::object reference_answer) {
    const py::object marks =
        check_rubric_arguments("generateRubric", question, max_marks, class_level, subject, reference_answer);
    const Prompts p = rubric_prompts(question, marks, class_level, subject, reference_answer);
    return guarded(prompts::failed_generate_rubric, [&] {
        return build_rubric(call_model(self, rubric_call(p, marks, subject)));
    });
}

pyco::Task generate_rubric_task(py::object self, py::object question, py::object max_marks, py::object class_level,
                                py::object subject, py::object reference_answer) {
    const Prompts p = rubric_prompts(question, max_marks, class_level, subject, reference_answer);
    try {
        py::object response = co_await call_model_async(self, rubric_call(p, max_marks, subject));
        co_return build_rubric(response);
    } catch (...) {
        raise_failure(prompts::failed_generate_rubric);
    }
}

py::object generate_rubric_async(py::object self, py::object question, py::object max_marks, py::object class_level,
                                 py::object subject, py::object reference_answer) {
    py::object marks =
        check_rubric_arguments("generateRubric_async", question, max_marks, class_level, subject, reference_answer);
    return pyco::to_python(generate_rubric_task(std::move(self), std::move(question), std::move(marks),
                                                std::move(class_level), std::move(subject),
                                                std::move(reference_answer)));
}

// ---------------------------------------------------------------------------------------
// Reference answers

void check_ref_answer_arguments(const char* function, py::handle question, py::handle class_level,
                                py::handle subject) {
    require_text(question, function, "question");
    require_text(class_level, function, "class_level");
    require_text(subject, function, "subject");
}

Prompts ref_answer_prompts(py::handle question, py::handle rubric, py::handle class_level, py::handle subject) {
    const std::string lines = criteria_lines(rubric, prompts::criterion_line);
    const std::string subject_text = text_of(subject);
    Prompts p;
    p.user = fill(prompts::ref_answer_user, {{"question", text_of(question)},
                                             {"class_level", text_of(class_level)},
                                             {"subject", subject_text},
                                             {"criteria_lines", lines}});
    p.system = fill(prompts::ref_answer_system, {{"subject", subject_text}});
    return p;
}

py::dict ref_answer_call(const Prompts& p, py::handle class_level, py::handle subject) {
    const std::string info =
        fill(prompts::ref_answer_info, {{"subject", text_of(subject)}, {"class_level", text_of(class_level)}});
    return call_arguments(system_and_user(p), prompts::task_generate_reference_answer, "ReferenceAnswerResponse",
                          &info);
}

/// The generated text; None passes, anything else is refused.
py::object reference_answer_of(py::handle response) {
    py::object answer = parsed_result(response).attr("reference_answer");
    if (!answer.is_none() && !PyUnicode_Check(answer.ptr())) {
        throw py::type_error(fill(prompts::wrong_reference_answer_type, {{"actual", type_name(answer)}}));
    }
    return answer;
}

py::object generate_ref_answer(py::object self, py::object question, py::object rubric, py::object class_level,
                               py::object subject) {
    check_ref_answer_arguments("generateRefAnswer", question, class_level, subject);
    const Prompts p = ref_answer_prompts(question, rubric, class_level, subject);
    return guarded(prompts::failed_generate_reference_answer, [&] {
        return reference_answer_of(call_model(self, ref_answer_call(p, class_level, subject)));
    });
}

pyco::Task generate_ref_answer_task(py::object self, py::object question, py::object rubric, py::object class_level,
                                    py::object subject) {
    const Prompts p = ref_answer_prompts(question, rubric, class_level, subject);
    try {
        py::object response = co_await call_model_async(self, ref_answer_call(p, class_level, subject));
        co_return reference_answer_of(response);
    } catch (...) {
        raise_failure(prompts::failed_generate_reference_answer_async);
    }
}

py::object generate_ref_answer_async(py::object self, py::object question, py::object rubric,
                                     py::object class_level, py::object subject) {
    check_ref_answer_arguments("generateRefAnswer_async", question, class_level, subject);
    return pyco::to_python(generate_ref_answer_task(std::move(self), std::move(question), std::move(rubric),
                                                    std::move(class_level), std::move(subject)));
}

/// Reads the answers of a scanned answer key into the paper. Failures are printed, not
/// raised: the record holds what was stored before the failure.
py::dict parse_reference_answers(py::object self, py::object extracted_texts, py::object question_paper) {
    require_dict(extracted_texts, "parseReferenceAnswers", "extracted_texts");
    py::dict result;
    const QuestionLines questions = question_lines(question_paper);
    const std::string combined = combined_text(extracted_texts);
    py::object last_id = questions.last_id;
    try {
        const std::string user =
            fill(prompts::answer_key_user, {{"question_lines", questions.text}, {"combined_text", combined}});
        py::list messages;
        messages.append(message("user", user));
        py::object response = call_model(
            self, call_arguments(messages, prompts::task_extract_reference_answer, "ReferenceAnswerKeysResponse",
                                 nullptr));
        for (py::handle element : parsed_result(response).attr("reference_answers")) {
            py::object q_id = element.attr("q_id");
            last_id = q_id;
            if (!contains(question_paper.attr("get_question_ids")(), q_id)) continue;
            py::object answer = element.attr("reference_answer");
            question_paper.attr("add_reference_answer")(q_id, answer);
            result[q_id] = answer;
        }
    } catch (...) {
        py::error_already_set err = ordinary_error();
        py_util::print_line(fill(prompts::failed_extract_reference_answer,
                                 {{"q_id", text_of(last_id)}, {"error", py_util::error_text(err)}}));
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// Answersheet parsing

Prompts answersheet_prompts(py::handle extracted_texts, py::handle question_paper) {
    const std::string combined = combined_text(extracted_texts);
    const QuestionLines questions = question_lines(question_paper);
    Prompts p;
    p.user = fill(prompts::answersheet_user, {{"question_lines", questions.text}, {"combined_text", combined}});
    p.system = std::string(prompts::answersheet_system);
    return p;
}

py::dict answersheet_call(const Prompts& p, py::handle extracted_texts, py::handle question_paper) {
    const std::string info =
        fill(prompts::answersheet_info, {{"question_count", std::to_string(py::len(question_paper.attr("get_question_ids")()))},
                                         {"page_count", std::to_string(py::len(extracted_texts))}});
    return call_arguments(system_and_user(p), prompts::task_parse_answersheet, "AnswersheetResponse", &info);
}

/// Keeps the answers whose identifier the paper holds; "Unknown" and strays are dropped
/// and their identifiers kept in the sheet's `unmatched_answers`.
py::object build_answersheet(py::handle response, py::handle question_paper) {
    py::object parsed = parsed_result(response);
    py::object sheet = py_util::module_attr(sheet_module, "Answersheet")(
        py::arg("subject") = question_paper.attr("subject"), py::arg("language") = question_paper.attr("language"),
        py::arg("class_level") = question_paper.attr("class_level"));
    py::object answer_type = py_util::module_attr(sheet_module, "Answer");
    py::list unmatched;  // counted, so a teacher learns that something was left out
    for (py::handle element : parsed.attr("answers")) {
        py::object q_id = element.attr("q_id");
        if (!contains(question_paper.attr("get_question_ids")(), q_id)) {
            unmatched.append(q_id);
            continue;
        }
        py::object answer = answer_type(py::arg("q_id") = q_id, py::arg("text") = element.attr("answer_text"),
                                        py::arg("pages") = element.attr("page_numbers"));
        sheet.attr("add_answer")(q_id, answer);
    }
    sheet.attr("unmatched_answers") = unmatched;
    return sheet;
}

py::object parse_answersheet(py::object self, py::object extracted_texts, py::object question_paper) {
    require_dict(extracted_texts, "parseAnswersheet", "extracted_texts");
    const Prompts p = answersheet_prompts(extracted_texts, question_paper);
    return guarded(prompts::failed_parse_answersheet, [&] {
        return build_answersheet(call_model(self, answersheet_call(p, extracted_texts, question_paper)),
                                 question_paper);
    });
}

pyco::Task parse_answersheet_task(py::object self, py::object extracted_texts, py::object question_paper) {
    const Prompts p = answersheet_prompts(extracted_texts, question_paper);
    try {
        py::object response = co_await call_model_async(self, answersheet_call(p, extracted_texts, question_paper));
        co_return build_answersheet(response, question_paper);
    } catch (...) {
        raise_failure(prompts::failed_parse_answersheet);
    }
}

py::object parse_answersheet_async(py::object self, py::object extracted_texts, py::object question_paper) {
    require_dict(extracted_texts, "parseAnswersheet_async", "extracted_texts");
    return pyco::to_python(
        parse_answersheet_task(std::move(self), std::move(extracted_texts), std::move(question_paper)));
}

// ---------------------------------------------------------------------------------------
// Answer evaluation

void check_evaluation_arguments(const char* function, py::handle student_answer, py::handle question,
                                py::handle reference_answer) {
    require_text(student_answer, function, "student_answer");
    require_text(question, function, "question");
    require_text(reference_answer, function, "reference_answer");
}

/// The rubric is marked on a copy so the caller's stays as it was.
struct Evaluation {
    py::object rubric;
    Prompts prompts;
};

Evaluation evaluation_prompts(py::handle student_answer, py::handle question, py::handle rubric,
                              py::handle reference_answer) {
    Evaluation e;
    e.rubric = py_util::module_attr("copy", "deepcopy")(rubric);
    const std::string lines = criteria_lines(e.rubric, prompts::indexed_criterion_line);
    e.prompts.user = fill(prompts::evaluation_user, {{"question", text_of(question)},
                                                     {"reference_answer", text_of(reference_answer)},
                                                     {"student_answer", text_of(student_answer)},
                                                     {"criteria_lines", lines}});
    e.prompts.system = std::string(prompts::evaluation_system);
    return e;
}

py::dict evaluation_call(const Evaluation& e, py::handle total_marks) {
    const std::string info = fill(prompts::evaluation_info, {{"max_marks_total", text_of(total_marks)}});
    return call_arguments(system_and_user(e.prompts), prompts::task_evaluate_answer, "EvaluationResponse", &info);
}

/// Marks every criterion of the copy from the model's indices and sums the fulfilled
/// marks; the model's own awarded_marks is not trusted.
py::dict build_evaluation(py::handle response, const Evaluation& e, py::handle total_marks, bool extended) {
    py::object parsed = parsed_result(response);
    py::object fulfilled = parsed.attr("fulfilled_criteria");
    std::size_t index = 0;
    for (py::handle criterion : e.rubric.attr("criteria")) {
        criterion.attr("set_fulfill")(py::bool_(contains(fulfilled, py::int_(index))));
        ++index;
    }
    py::list awarded;
    for (py::handle criterion : e.rubric.attr("criteria")) {
        if (truthy(criterion.attr("is_fulfilled"))) awarded.append(criterion.attr("mark"));
    }
    // Sums of valid marks always lie in range; this guards the rule, not the model.
    py::object awarded_marks = python_sum(awarded);
    const double awarded_value = py::float_(awarded_marks).cast<double>();
    const double total_value = py::float_(py::reinterpret_borrow<py::object>(total_marks)).cast<double>();
    if (!std::isfinite(awarded_value) || awarded_value < 0 || awarded_value > total_value) {
        refuse_marks(fill(prompts::invalid_awarded_marks,
                          {{"total", text_of(total_marks)}, {"awarded", text_of(awarded_marks)}}));
    }
    py::dict record;
    record["rubric"] = e.rubric;
    record["awarded_marks"] = awarded_marks;
    record["feedback"] = parsed.attr("feedback");
    if (extended) {
        record["total_marks"] = total_marks;
        record["fulfilled_criteria_indices"] = fulfilled;
    }
    return record;
}

py::dict evaluate_answer(py::object self, py::object student_answer, py::object question, py::object rubric,
                         py::object reference_answer) {
    check_evaluation_arguments("evaluateAnswer", student_answer, question, reference_answer);
    const Evaluation e = evaluation_prompts(student_answer, question, rubric, reference_answer);
    return guarded(prompts::failed_evaluate_answer, [&] {
        check_criterion_marks(e.rubric.attr("criteria"));
        py::object total = python_sum(marks_of(e.rubric));
        return build_evaluation(call_model(self, evaluation_call(e, total)), e, total, false);
    });
}

pyco::Task evaluate_answer_task(py::object self, py::object student_answer, py::object question, py::object rubric,
                                py::object reference_answer) {
    const Evaluation e = evaluation_prompts(student_answer, question, rubric, reference_answer);
    try {
        check_criterion_marks(e.rubric.attr("criteria"));
        py::object total = python_sum(marks_of(e.rubric));
        py::object response = co_await call_model_async(self, evaluation_call(e, total));
        co_return build_evaluation(response, e, total, true);
    } catch (...) {
        raise_failure(prompts::failed_evaluate_answer);
    }
}

py::object evaluate_answer_async(py::object self, py::object student_answer, py::object question,
                                 py::object rubric, py::object reference_answer) {
    check_evaluation_arguments("evaluateAnswer_async", student_answer, question, reference_answer);
    return pyco::to_python(evaluate_answer_task(std::move(self), std::move(student_answer), std::move(question),
                                                std::move(rubric), std::move(reference_answer)));
}

// ---------------------------------------------------------------------------------------
// Registration

template <typename Fn, typename... Extra>
void add_method(py::handle cls, const char* name, Fn fn, const Extra&... extra) {
    py::cpp_function method(fn, py::name(name), py::is_method(cls), py::sibling(py::getattr(cls, name, py::none())),
                            extra...);
    py::setattr(cls, name, method);
}

}  // namespace
}  // namespace detail

void bind_operations(py::handle cls) {
    using namespace detail;
    const auto paper_args = [&](const char* name, auto fn, const char* doc) {
        add_method(cls, name, fn, py::arg("extracted_texts"), py::arg("subject"), py::arg("language"),
                   py::arg("class_level"), py::doc(doc));
    };
    paper_args("parseQuestionPaper", &parse_question_paper, "Parses OCR page texts into a QuestionPaper.");
    paper_args("parseQuestionPaper_async", &parse_question_paper_async,
               "Coroutine twin of parseQuestionPaper.");

    const auto rubric_args = [&](const char* name, auto fn, const char* doc) {
        add_method(cls, name, fn, py::arg("question"), py::arg("max_marks"), py::arg("class_level"),
                   py::arg("subject"), py::arg("reference_answer") = "", py::doc(doc));
    };
    rubric_args("generateRubric", &generate_rubric, "Generates a marking Rubric for one question.");
    rubric_args("generateRubric_async", &generate_rubric_async, "Coroutine twin of generateRubric.");

    const auto ref_answer_args = [&](const char* name, auto fn, const char* doc) {
        add_method(cls, name, fn, py::arg("question"), py::arg("rubric"), py::arg("class_level"), py::arg("subject"),
                   py::doc(doc));
    };
    ref_answer_args("generateRefAnswer", &generate_ref_answer,
                    "Writes a reference answer for one question, guided by its rubric.");
    ref_answer_args("generateRefAnswer_async", &generate_ref_answer_async, "Coroutine twin of generateRefAnswer.");

    add_method(cls, "parseReferenceAnswers", &parse_reference_answers, py::arg("extracted_texts"),
               py::arg("question_paper"),
               py::doc("Extracts reference answers from an answer key into the paper; returns id -> answer."));

    const auto sheet_args = [&](const char* name, auto fn, const char* doc) {
        add_method(cls, name, fn, py::arg("extracted_texts"), py::arg("question_paper"), py::doc(doc));
    };
    sheet_args("parseAnswersheet", &parse_answersheet,
               "Parses OCR page texts of a student's answersheet against a question paper.");
    sheet_args("parseAnswersheet_async", &parse_answersheet_async, "Coroutine twin of parseAnswersheet.");

    const auto evaluation_args = [&](const char* name, auto fn, const char* doc) {
        add_method(cls, name, fn, py::arg("student_answer"), py::arg("question"), py::arg("rubric"),
                   py::arg("reference_answer"), py::doc(doc));
    };
    evaluation_args("evaluateAnswer", &evaluate_answer,
                    "Marks one answer against a copy of the rubric; returns rubric, awarded_marks, feedback.");
    evaluation_args("evaluateAnswer_async", &evaluate_answer_async,
                    "Coroutine twin of evaluateAnswer; adds total_marks and fulfilled_criteria_indices.");
}

}  // namespace tovrane::broker
