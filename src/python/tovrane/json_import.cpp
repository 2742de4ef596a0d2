// A question paper built from JSON text or an equivalent record instead of a PDF.
#include <fmt/format.h>

#include <array>

#include "common/errors.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "engine/constants.hpp"
#include "engine/grading/marks.hpp"
#include "engine/text/facade_texts.hpp"
#include "tovrane/internal.hpp"
#include "tovrane/operations.hpp"

namespace tovrane::facade {

namespace texts = tovrane::text::facade;
using namespace fmt::literals;
using namespace py_util;

namespace {

constexpr std::array<const char*, 3> kPaperFields = {"subject", "class_level", "questions"};
constexpr std::array<const char*, 3> kQuestionFields = {"q_id", "question_text", "max_marks"};

// JSON text is decoded; anything else already is the record.
py::object decode(const py::object& json_data) {
    if (!PyUnicode_Check(json_data.ptr())) return json_data;
    py::object json = py::module_::import("json");
    try {
        return json.attr("loads")(json_data);
    } catch (py::error_already_set& err) {
        if (!err.matches(json.attr("JSONDecodeError"))) throw;
        raise_from_cause(err, validation_error(), fmt::format(texts::kInvalidJson, "error"_a = error_text(err)));
    }
}

bool non_blank_text(py::handle value) {
    return PyUnicode_Check(value.ptr()) && truthy(value.attr("strip")());
}

// A member that is there and not null, empty or false.
py::object optional_member(py::handle record, const char* key) {
    py::str name(key);
    if (!contains(record, name)) return py::none();
    py::object value = record[name];
    return truthy(value) ? value : py::none();
}

py::object build_question(const py::object& self, py::handle q_data) {
    self.attr("_validate_question_json")(q_data);
    py::object question = names::question_class()(py::arg("q_id") = q_data[py::str("q_id")],
                                           py::arg("text") = q_data[py::str("question_text")],
                                           py::arg("max_marks") = py::float_(q_data[py::str("max_marks")]));
    py::object rubric = optional_member(q_data, "rubric");
    if (!rubric.is_none()) question.attr("rubric") = self.attr("_create_rubric_from_json")(rubric);
    py::object reference_answer = optional_member(q_data, "reference_answer");
    if (!reference_answer.is_none()) question.attr("reference_answer") = reference_answer;
    return question;
}

}  // namespace

py::object question_paper_from_json(py::object self, py::object json_data) {
    return guarded(
        [&]() -> py::object {
            self.attr("_validate_configured")();
            py::object data = decode(json_data);
            for (const char* key : kPaperFields) {
                if (!contains(data, py::str(key))) raise(validation_error(), fmt::format(texts::kMissingField, "key"_a = key));
            }
            py::object questions = data[py::str("questions")];
            if (!PyList_Check(questions.ptr()) || py::len(questions) == 0) {
                raise(validation_error(), texts::kQuestionsNotList);
            }

            say(texts::kCreatingFromJson);
            py::object language =
                contains(data, py::str("language")) ? py::object(data[py::str("language")]) : to_py(constants::kPaperLanguage);
            py::object paper = names::question_paper_class()(py::arg("subject") = data[py::str("subject")],
                                                      py::arg("language") = language,
                                                      py::arg("class_level") = data[py::str("class_level")]);
            // A repeated identifier would silently replace a question: refused, naming each once.
            // The identifiers seen are kept in a set: asking the paper each time would make a
            // long paper's import quadratic.
            py::set seen;
            py::set named;
            py::list duplicates;
            for (py::handle q_data : snapshot(questions)) {
                py::object question = build_question(self, q_data);
                py::object q_id = question.attr("q_id");
                if (seen.contains(q_id)) {
                    if (!named.contains(q_id)) {
                        named.add(q_id);
                        duplicates.append(q_id);
                    }
                    continue;
                }
                seen.add(q_id);
                paper.attr("add_question")(question);
            }
            if (py::len(duplicates) > 0) {
                raise(validation_error(), fmt::format(texts::kDuplicateIds, "ids"_a = str(duplicates)));
            }

            say(texts::kCreatedFromJson);
            say(texts::kCreatedCount, "n"_a = len_text(paper.attr("get_question_ids")()));
            say(texts::kTotalMarks, "total"_a = str(paper.attr("get_total_marks")()));
            return paper;
        },
        with_error<texts::kFromJsonFailed>, validation_error(),
        {validation_error()});
}

void validate_question_json(py::object, py::object q_data) {
    for (const char* key : kQuestionFields) {
        if (!contains(q_data, py::str(key))) {
            raise(validation_error(), fmt::format(texts::kQuestionMissingField, "key"_a = key));
        }
    }
    if (!non_blank_text(q_data[py::str("q_id")])) raise(validation_error(), texts::kBadQId);
    if (!non_blank_text(q_data[py::str("question_text")])) raise(validation_error(), texts::kBadQuestionText);
    std::optional<double> max_marks = positive_number(q_data[py::str("max_marks")]);
    if (!max_marks) raise(validation_error(), texts::kBadMaxMarks);
    if (grading::above_ceiling(*max_marks)) raise(validation_error(), texts::kMaxMarksTooLarge);
}

py::object create_rubric_from_json(py::object, py::object rubric_data) {
    if (!contains(rubric_data, py::str("criteria"))) raise(validation_error(), texts::kRubricWithoutCriteria);
    py::object entries = rubric_data[py::str("criteria")];
    if (!PyList_Check(entries.ptr())) raise(validation_error(), texts::kCriteriaNotList);
    py::list criteria;
    for (py::handle entry : snapshot(entries)) {
        if (!PyDict_Check(entry.ptr())) raise(validation_error(), texts::kEachCriterionDict);
        if (!contains(entry, py::str("statement")) || !contains(entry, py::str("mark"))) {
            raise(validation_error(), texts::kEachCriterionFields);
        }
        std::optional<double> mark = non_negative_number(entry[py::str("mark")]);
        if (!mark) raise(validation_error(), texts::kJsonCriterionMark);
        if (grading::above_ceiling(*mark)) raise(validation_error(), texts::kJsonCriterionMarkTooLarge);
        // The statement goes in as it came; the document model decides what it accepts.
        criteria.append(names::criterion_class()(py::arg("statement") = entry[py::str("statement")], py::arg("mark") = *mark));
    }
    return names::rubric_class()(py::arg("criteria") = criteria);
}

}  // namespace tovrane::facade
