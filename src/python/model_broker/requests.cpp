// Question papers, rubrics, reference answers, answersheets and evaluations through the
// language model. Each operation builds its prompts, asks the broker's `_make_api_call`
// (or `_make_api_call_async`) for a structured answer and turns it into document-model
// objects. Everything is reached through Python attributes at call time, so hosts and
// tests can substitute the call path, the response models or the document model. The
// coroutine twin of each operation stands right after it.
#include <fmt/format.h>

#include <cmath>
#include <string>
#include <string_view>
#include <utility>

#include "common/errors.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "engine/grading/marks.hpp"
#include "engine/text/model_broker_texts.hpp"
#include "engine/text/slots.hpp"
#include "model_broker/operations.hpp"

namespace tovrane::model_broker {

namespace texts = tovrane::text::model_broker;
using namespace fmt::literals;
using namespace py_util;

namespace {

/// The blocking and the coroutine route of an operation share everything but a few
/// points, each kept on purpose because hosts and callers see it:
/// - parseQuestionPaper adds each question as add_question(question), its twin as
///   add_question(q_id, question): a host's own QuestionPaper receives what it always did;
/// - evaluateAnswer_async's record also carries total_marks and fulfilled_criteria_indices;
/// - generateRefAnswer_async names its route in its failure text.
enum class Route { blocking, coroutine };

// ---- Python semantics -----------------------------------------------------------------------

/// Python's sum() over a list, so 0 for none and int/float mixing as Python does it.
py::object python_sum(const py::list& values) {
    return module_attr("builtins", "sum")(values);
}

// ---- Argument checks: type errors before any work -------------------------------------------

void require_text(py::handle value, const char* function, const char* argument) {
    require_str(value, argument_of(function, argument));
}

void require_dict(py::handle value, const char* function, const char* argument) {
    if (!PyDict_Check(value.ptr())) wrong_type(argument_of(function, argument), "dict", value);
}

/// float(value) for numbers only: float() would also parse text.
py::object to_float(py::handle value, const char* function, const char* argument) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr())) {
        wrong_type(argument_of(function, argument), "a number", value);
    }
    PyObject* converted = PyNumber_Float(value.ptr());
    if (!converted) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        wrong_type(argument_of(function, argument), "a number", value);
    }
    return py::reinterpret_steal<py::object>(converted);
}

// ---- Prompt pieces --------------------------------------------------------------------------

/// The pages in sorted() key order, one block each.
std::string combined_text(py::handle extracted_texts) {
    py::object pages = py::reinterpret_borrow<py::object>(extracted_texts);
    std::string out;
    for (py::handle key : module_attr("builtins", "sorted")(pages)) {
        out += fmt::format(texts::kPageBlock, "page_key"_a = str_lossless(key),
                           "page_text"_a = str_lossless(pages[key]));
    }
    return out;
}

/// The paper's identifiers as a set, asked once: asking the paper per answer makes a long
/// answersheet quadratic.
py::set question_ids_of(py::handle paper) {
    return py::set(paper.attr("get_question_ids")());
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
        out.text += fmt::format(texts::kQuestionLine, "q_id"_a = str_lossless(question.attr("q_id")),
                                "text"_a = str_lossless(question.attr("text")));
        out.last_id = py::reinterpret_borrow<py::object>(id);
    }
    return out;
}

/// A `line` for each criterion, numbered from 0, without a final line break.
template <const std::string_view& line>
std::string criteria_lines(py::handle rubric) {
    std::string out;
    std::size_t index = 0;
    for (py::handle criterion : rubric.attr("criteria")) {
        if (index > 0) out += '\n';
        out += fmt::format(line, "index"_a = index, "statement"_a = str_lossless(criterion.attr("statement")),
                           "mark"_a = str_lossless(criterion.attr("mark")));
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

// ---- Marks the model produced: refused, never clamped, so a bad answer fails its operation --

[[noreturn]] void refuse_marks(std::string_view message) { raise(PyExc_ValueError, message); }

/// Every criterion's mark valid and within the ceiling, so no total of them overflows.
void check_criterion_marks(py::handle criteria) {
    std::size_t index = 0;
    for (py::handle criterion : criteria) {
        py::float_ mark = py::float_(criterion.attr("mark"));
        if (!grading::valid_criterion_mark(mark) || grading::above_ceiling(mark)) {
            refuse_marks(fmt::format(texts::kInvalidCriterionMark, "index"_a = index, "mark"_a = str_lossless(mark)));
        }
        ++index;
    }
}

// ---- The model call -------------------------------------------------------------------------

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
    kwargs["response_format"] = names::response_model(response_model);
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

/// The structured answer: choices[0].message.parsed. A refusal leaves it empty.
py::object parsed_result(py::handle response) {
    py::object message = response.attr("choices")[py::int_(0)].attr("message");
    py::object parsed = message.attr("parsed");
    if (!parsed.is_none()) return parsed;
    py::object refusal = py::getattr(message, "refusal", py::none());
    if (truthy(refusal)) raise(PyExc_ValueError, fmt::format(texts::kModelRefused, "refusal"_a = str_lossless(refusal)));
    raise(PyExc_ValueError, texts::kNoStructuredAnswer);
}

// ---- Question paper parsing -----------------------------------------------------------------

void check_question_paper_arguments(const char* function, py::handle extracted_texts, py::handle subject,
                                    py::handle language, py::handle class_level) {
    require_dict(extracted_texts, function, "extracted_texts");
    require_text(subject, function, "subject");
    require_text(language, function, "language");
    require_text(class_level, function, "class_level");
}

Prompts question_paper_prompts(py::handle extracted_texts, py::handle subject, py::handle language) {
    const std::string combined = combined_text(extracted_texts);
    const std::string subject_text = str_lossless(subject);
    Prompts p;
    p.user = fmt::format(texts::kQuestionPaperUser, "subject"_a = subject_text, "language"_a = str_lossless(language),
                         "combined_text"_a = combined);
    p.system = fmt::format(texts::kQuestionPaperSystem, "subject"_a = subject_text);
    return p;
}

py::dict question_paper_call(const Prompts& p, py::handle extracted_texts, py::handle subject,
                             py::handle language, py::handle class_level) {
    const std::string info =
        fmt::format(texts::kQuestionPaperInfo, "subject"_a = str_lossless(subject),
                    "language"_a = str_lossless(language), "class_level"_a = str_lossless(class_level),
                    "page_count"_a = py::len(extracted_texts));
    return call_arguments(system_and_user(p), texts::kTaskParseQuestionPaper, "QuestionPaperResponse", &info);
}

py::object build_question_paper(py::handle response, py::handle subject, py::handle language,
                                py::handle class_level, Route route) {
    py::object parsed = parsed_result(response);
    py::object paper = names::question_paper_class()(py::arg("subject") = subject, py::arg("language") = language,
                                                      py::arg("class_level") = class_level);
    py::object question_type = names::question_class();
    for (py::handle element : parsed.attr("questions")) {
        py::object q_id = element.attr("q_id");
        py::float_ max_marks = py::float_(element.attr("max_marks"));
        if (!grading::valid_parsed_marks(max_marks) || grading::above_ceiling(max_marks)) {
            refuse_marks(fmt::format(texts::kInvalidQuestionMarks, "q_id"_a = str_lossless(q_id),
                                     "marks"_a = str_lossless(max_marks)));
        }
        py::object question = question_type(py::arg("q_id") = q_id, py::arg("text") = element.attr("question_text"),
                                            py::arg("max_marks") = max_marks);
        if (route == Route::blocking) {
            paper.attr("add_question")(question);
        } else {
            paper.attr("add_question")(q_id, question);
        }
    }
    return paper;
}

pyco::Task parse_question_paper_task(py::object self, py::object extracted_texts, py::object subject,
                                     py::object language, py::object class_level) {
    const Prompts p = question_paper_prompts(extracted_texts, subject, language);
    try {
        py::object response =
            co_await call_model_async(self, question_paper_call(p, extracted_texts, subject, language, class_level));
        co_return build_question_paper(response, subject, language, class_level, Route::coroutine);
    } catch (...) {
        reraise_as(PyExc_RuntimeError, with_error<texts::kFailedParseQuestionPaper>);
    }
}

// ---- Rubric generation ----------------------------------------------------------------------

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
        py::len(reference_answer) > 0 ? str_lossless(reference_answer) : std::string(texts::kNoReferenceAnswer);
    Prompts p;
    p.user = fmt::format(texts::kRubricUser, "question"_a = str_lossless(question),
                         "reference_answer_text"_a = reference, "class_level"_a = str_lossless(class_level),
                         "subject"_a = str_lossless(subject), "max_marks"_a = str_lossless(max_marks));
    p.system = std::string(texts::kRubricSystem);
    return p;
}

py::dict rubric_call(const Prompts& p, py::handle max_marks, py::handle subject) {
    const std::string info =
        fmt::format(texts::kRubricInfo, "max_marks"_a = str_lossless(max_marks), "subject"_a = str_lossless(subject));
    return call_arguments(system_and_user(p), texts::kTaskGenerateRubric, "RubricResponse", &info);
}

py::object build_rubric(py::handle response) {
    py::object parsed = parsed_result(response);
    py::object criterion_type = names::criterion_class();
    py::list criteria;
    for (py::handle element : parsed.attr("criteria")) {
        criteria.append(criterion_type(py::arg("statement") = element.attr("statement"),
                                       py::arg("mark") = py::float_(element.attr("mark"))));
    }
    check_criterion_marks(criteria);
    return names::rubric_class()(criteria);
}

pyco::Task generate_rubric_task(py::object self, py::object question, py::object max_marks, py::object class_level,
                                py::object subject, py::object reference_answer) {
    const Prompts p = rubric_prompts(question, max_marks, class_level, subject, reference_answer);
    try {
        py::object response = co_await call_model_async(self, rubric_call(p, max_marks, subject));
        co_return build_rubric(response);
    } catch (...) {
        reraise_as(PyExc_RuntimeError, with_error<texts::kFailedGenerateRubric>);
    }
}

// ---- Reference answers ----------------------------------------------------------------------

void check_ref_answer_arguments(const char* function, py::handle question, py::handle class_level,
                                py::handle subject) {
    require_text(question, function, "question");
    require_text(class_level, function, "class_level");
    require_text(subject, function, "subject");
}

Prompts ref_answer_prompts(py::handle question, py::handle rubric, py::handle class_level, py::handle subject) {
    const std::string lines = criteria_lines<texts::kCriterionLine>(rubric);
    const std::string subject_text = str_lossless(subject);
    Prompts p;
    p.user = fmt::format(texts::kRefAnswerUser, "question"_a = str_lossless(question),
                         "class_level"_a = str_lossless(class_level), "subject"_a = subject_text,
                         "criteria_lines"_a = lines);
    p.system = fmt::format(texts::kRefAnswerSystem, "subject"_a = subject_text);
    return p;
}

py::dict ref_answer_call(const Prompts& p, py::handle class_level, py::handle subject) {
    const std::string info = fmt::format(texts::kRefAnswerInfo, "subject"_a = str_lossless(subject),
                                         "class_level"_a = str_lossless(class_level));
    return call_arguments(system_and_user(p), texts::kTaskGenerateReferenceAnswer, "ReferenceAnswerResponse", &info);
}

/// The generated text; None passes, anything else is refused.
py::object reference_answer_of(py::handle response) {
    py::object answer = parsed_result(response).attr("reference_answer");
    if (!answer.is_none() && !PyUnicode_Check(answer.ptr())) wrong_type("reference_answer", "str or None", answer);
    return answer;
}

pyco::Task generate_ref_answer_task(py::object self, py::object question, py::object rubric, py::object class_level,
                                    py::object subject) {
    const Prompts p = ref_answer_prompts(question, rubric, class_level, subject);
    try {
        py::object response = co_await call_model_async(self, ref_answer_call(p, class_level, subject));
        co_return reference_answer_of(response);
    } catch (...) {
        reraise_as(PyExc_RuntimeError, with_error<texts::kFailedGenerateReferenceAnswerAsync>);
    }
}

// ---- Answersheet parsing --------------------------------------------------------------------

Prompts answersheet_prompts(py::handle extracted_texts, py::handle question_paper) {
    const std::string combined = combined_text(extracted_texts);
    const QuestionLines questions = question_lines(question_paper);
    Prompts p;
    // Slot-filled: this prompt holds literal braces (see slots.hpp).
    p.user = text::fill_slots(texts::kAnswersheetUser,
                              {{"question_lines", questions.text}, {"combined_text", combined}});
    p.system = std::string(texts::kAnswersheetSystem);
    return p;
}

py::dict answersheet_call(const Prompts& p, py::handle extracted_texts, py::handle question_paper) {
    const std::string info =
        fmt::format(texts::kAnswersheetInfo, "question_count"_a = py::len(question_paper.attr("get_question_ids")()),
                    "page_count"_a = py::len(extracted_texts));
    return call_arguments(system_and_user(p), texts::kTaskParseAnswersheet, "AnswersheetResponse", &info);
}

/// Keeps the answers whose identifier the paper holds; "Unknown" and strays are dropped
/// and their identifiers kept in the sheet's `unmatched_answers`.
py::object build_answersheet(py::handle response, py::handle question_paper) {
    py::object parsed = parsed_result(response);
    py::object sheet = names::answersheet_class()(py::arg("subject") = question_paper.attr("subject"),
                                                  py::arg("language") = question_paper.attr("language"),
                                                  py::arg("class_level") = question_paper.attr("class_level"));
    py::object answer_type = names::answer_class();
    const py::set paper_ids = question_ids_of(question_paper);
    py::list unmatched;  // counted, so a teacher learns that something was left out
    for (py::handle element : parsed.attr("answers")) {
        py::object q_id = element.attr("q_id");
        if (!paper_ids.contains(q_id)) {
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

pyco::Task parse_answersheet_task(py::object self, py::object extracted_texts, py::object question_paper) {
    const Prompts p = answersheet_prompts(extracted_texts, question_paper);
    try {
        py::object response = co_await call_model_async(self, answersheet_call(p, extracted_texts, question_paper));
        co_return build_answersheet(response, question_paper);
    } catch (...) {
        reraise_as(PyExc_RuntimeError, with_error<texts::kFailedParseAnswersheet>);
    }
}

// ---- Answer evaluation ----------------------------------------------------------------------

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
    e.rubric = module_attr("copy", "deepcopy")(rubric);
    const std::string lines = criteria_lines<texts::kIndexedCriterionLine>(e.rubric);
    e.prompts.user = fmt::format(texts::kEvaluationUser, "question"_a = str_lossless(question),
                                 "reference_answer"_a = str_lossless(reference_answer),
                                 "student_answer"_a = str_lossless(student_answer), "criteria_lines"_a = lines);
    e.prompts.system = std::string(texts::kEvaluationSystem);
    return e;
}

py::dict evaluation_call(const Evaluation& e, py::handle total_marks) {
    const std::string info = fmt::format(texts::kEvaluationInfo, "max_marks_total"_a = str_lossless(total_marks));
    return call_arguments(system_and_user(e.prompts), texts::kTaskEvaluateAnswer, "EvaluationResponse", &info);
}

/// Marks every criterion of the copy from the model's indices and sums the fulfilled
/// marks; the model's own awarded_marks is not trusted.
py::dict build_evaluation(py::handle response, const Evaluation& e, py::handle total_marks, Route route) {
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
        refuse_marks(fmt::format(texts::kInvalidAwardedMarks, "total"_a = str_lossless(total_marks),
                                 "awarded"_a = str_lossless(awarded_marks)));
    }
    py::dict record;
    record["rubric"] = e.rubric;
    record["awarded_marks"] = awarded_marks;
    record["feedback"] = parsed.attr("feedback");
    if (route == Route::coroutine) {
        record["total_marks"] = total_marks;
        record["fulfilled_criteria_indices"] = fulfilled;
    }
    return record;
}

pyco::Task evaluate_answer_task(py::object self, py::object student_answer, py::object question, py::object rubric,
                                py::object reference_answer) {
    const Evaluation e = evaluation_prompts(student_answer, question, rubric, reference_answer);
    try {
        check_criterion_marks(e.rubric.attr("criteria"));
        py::object total = python_sum(marks_of(e.rubric));
        py::object response = co_await call_model_async(self, evaluation_call(e, total));
        co_return build_evaluation(response, e, total, Route::coroutine);
    } catch (...) {
        reraise_as(PyExc_RuntimeError, with_error<texts::kFailedEvaluateAnswer>);
    }
}

}  // namespace

// ---- The bound operations: each blocking one, then its coroutine twin ------------------------
// Twins check their arguments when called, so a wrong argument never makes a coroutine object.

py::object parse_question_paper(py::object self, py::object extracted_texts, py::object subject,
                                py::object language, py::object class_level) {
    check_question_paper_arguments("parseQuestionPaper", extracted_texts, subject, language, class_level);
    const Prompts p = question_paper_prompts(extracted_texts, subject, language);
    return guarded(
        [&] {
            py::object response =
                call_model(self, question_paper_call(p, extracted_texts, subject, language, class_level));
            return build_question_paper(response, subject, language, class_level, Route::blocking);
        },
        with_error<texts::kFailedParseQuestionPaper>);
}

py::object parse_question_paper_async(py::object self, py::object extracted_texts, py::object subject,
                                      py::object language, py::object class_level) {
    check_question_paper_arguments("parseQuestionPaper_async", extracted_texts, subject, language, class_level);
    return pyco::to_python(parse_question_paper_task(std::move(self), std::move(extracted_texts), std::move(subject),
                                                     std::move(language), std::move(class_level)));
}

py::object generate_rubric(py::object self, py::object question, py::object max_marks, py::object class_level,
                           py::object subject, py::object reference_answer) {
    const py::object marks =
        check_rubric_arguments("generateRubric", question, max_marks, class_level, subject, reference_answer);
    const Prompts p = rubric_prompts(question, marks, class_level, subject, reference_answer);
    return guarded([&] { return build_rubric(call_model(self, rubric_call(p, marks, subject))); },
                   with_error<texts::kFailedGenerateRubric>);
}

py::object generate_rubric_async(py::object self, py::object question, py::object max_marks, py::object class_level,
                                 py::object subject, py::object reference_answer) {
    py::object marks =
        check_rubric_arguments("generateRubric_async", question, max_marks, class_level, subject, reference_answer);
    return pyco::to_python(generate_rubric_task(std::move(self), std::move(question), std::move(marks),
                                                std::move(class_level), std::move(subject),
                                                std::move(reference_answer)));
}

py::object generate_ref_answer(py::object self, py::object question, py::object rubric, py::object class_level,
                               py::object subject) {
    check_ref_answer_arguments("generateRefAnswer", question, class_level, subject);
    const Prompts p = ref_answer_prompts(question, rubric, class_level, subject);
    return guarded([&] { return reference_answer_of(call_model(self, ref_answer_call(p, class_level, subject))); },
                   with_error<texts::kFailedGenerateReferenceAnswer>);
}

py::object generate_ref_answer_async(py::object self, py::object question, py::object rubric,
                                     py::object class_level, py::object subject) {
    check_ref_answer_arguments("generateRefAnswer_async", question, class_level, subject);
    return pyco::to_python(generate_ref_answer_task(std::move(self), std::move(question), std::move(rubric),
                                                    std::move(class_level), std::move(subject)));
}

py::dict parse_reference_answers(py::object self, py::object extracted_texts, py::object question_paper) {
    require_dict(extracted_texts, "parseReferenceAnswers", "extracted_texts");
    py::dict result;
    const QuestionLines questions = question_lines(question_paper);
    const std::string combined = combined_text(extracted_texts);
    py::object last_id = questions.last_id;
    // Failures are printed, not raised: the record holds what was stored before the failure.
    const auto failure = ordinary_error([&] {
        const std::string user =
            fmt::format(texts::kAnswerKeyUser, "question_lines"_a = questions.text, "combined_text"_a = combined);
        py::list messages;
        messages.append(message("user", user));
        py::object response = call_model(
            self, call_arguments(messages, texts::kTaskExtractReferenceAnswer, "ReferenceAnswerKeysResponse", nullptr));
        const py::set paper_ids = question_ids_of(question_paper);
        for (py::handle element : parsed_result(response).attr("reference_answers")) {
            py::object q_id = element.attr("q_id");
            last_id = q_id;
            if (!paper_ids.contains(q_id)) continue;
            py::object answer = element.attr("reference_answer");
            question_paper.attr("add_reference_answer")(q_id, answer);
            result[q_id] = answer;
        }
    });
    if (failure) say(texts::kFailedExtractReferenceAnswer, "q_id"_a = str_lossless(last_id), "error"_a = *failure);
    return result;
}

py::object parse_answersheet(py::object self, py::object extracted_texts, py::object question_paper) {
    require_dict(extracted_texts, "parseAnswersheet", "extracted_texts");
    const Prompts p = answersheet_prompts(extracted_texts, question_paper);
    return guarded(
        [&] {
            return build_answersheet(call_model(self, answersheet_call(p, extracted_texts, question_paper)),
                                     question_paper);
        },
        with_error<texts::kFailedParseAnswersheet>);
}

py::object parse_answersheet_async(py::object self, py::object extracted_texts, py::object question_paper) {
    require_dict(extracted_texts, "parseAnswersheet_async", "extracted_texts");
    return pyco::to_python(
        parse_answersheet_task(std::move(self), std::move(extracted_texts), std::move(question_paper)));
}

py::dict evaluate_answer(py::object self, py::object student_answer, py::object question, py::object rubric,
                         py::object reference_answer) {
    check_evaluation_arguments("evaluateAnswer", student_answer, question, reference_answer);
    const Evaluation e = evaluation_prompts(student_answer, question, rubric, reference_answer);
    return guarded(
        [&] {
            check_criterion_marks(e.rubric.attr("criteria"));
            py::object total = python_sum(marks_of(e.rubric));
            return build_evaluation(call_model(self, evaluation_call(e, total)), e, total, Route::blocking);
        },
        with_error<texts::kFailedEvaluateAnswer>);
}

py::object evaluate_answer_async(py::object self, py::object student_answer, py::object question,
                                 py::object rubric, py::object reference_answer) {
    check_evaluation_arguments("evaluateAnswer_async", student_answer, question, reference_answer);
    return pyco::to_python(evaluate_answer_task(std::move(self), std::move(student_answer), std::move(question),
                                                std::move(rubric), std::move(reference_answer)));
}

}  // namespace tovrane::model_broker
