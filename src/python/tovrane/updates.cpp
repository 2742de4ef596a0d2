// Rubrics and reference answers replaced by hand, and rubrics built from plain records.
#include <fmt/format.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/errors.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "engine/grading/marks.hpp"
#include "engine/text/facade_texts.hpp"
#include "tovrane/internal.hpp"
#include "tovrane/operations.hpp"

namespace tovrane::facade {

namespace texts = tovrane::text::facade;
using namespace fmt::literals;
using namespace py_util;

namespace {

// The texts and the per-entry step that tell the two update operations apart. The update
// takes the table as a template argument, so its lines are checked when compiled.
struct UpdateKind {
    std::string_view updating_all;
    std::string_view updating_one;
    std::string_view updated;
    std::string_view entry_failed;
    std::string_view done;
    std::string_view failed_list;
    std::string_view error;
    const char* summary_key;
    void (*apply)(const py::object& question_paper, py::handle q_id, py::handle value);
};

// The parts of a (key, value) pair from dict.items().
py::object key_of(py::handle item) { return py::reinterpret_borrow<py::tuple>(item)[0]; }
py::object value_of(py::handle item) { return py::reinterpret_borrow<py::tuple>(item)[1]; }

void apply_rubric(const py::object& question_paper, py::handle q_id, py::handle rubric) {
    if (!is_instance(rubric, names::rubric_class())) {
        raise(PyExc_ValueError, fmt::format(texts::kNotARubric, "q_id"_a = str(q_id)));
    }
    question_paper.attr("get_question")(q_id).attr("set_rubric")(rubric);
}

void apply_reference_answer(const py::object& question_paper, py::handle q_id, py::handle answer) {
    if (!PyUnicode_Check(answer.ptr())) {
        raise(PyExc_ValueError, fmt::format(texts::kAnswerNotText, "q_id"_a = str(q_id)));
    }
    if (!truthy(answer.attr("strip")())) {
        raise(PyExc_ValueError, fmt::format(texts::kAnswerBlank, "q_id"_a = str(q_id)));
    }
    question_paper.attr("get_question")(q_id).attr("set_reference_answer")(answer);
}

constexpr UpdateKind kRubricUpdate{
    .updating_all = texts::kRubricsUpdating,
    .updating_one = texts::kRubricUpdating,
    .updated = texts::kRubricUpdated,
    .entry_failed = texts::kRubricUpdateFailed,
    .done = texts::kRubricsUpdateDone,
    .failed_list = texts::kRubricsUpdateFailedList,
    .error = texts::kRubricsUpdateError,
    .summary_key = "rubric_update",
    .apply = &apply_rubric,
};

constexpr UpdateKind kAnswerUpdate{
    .updating_all = texts::kAnswersUpdating,
    .updating_one = texts::kAnswerUpdating,
    .updated = texts::kAnswerUpdated,
    .entry_failed = texts::kAnswerUpdateFailed,
    .done = texts::kAnswersUpdateDone,
    .failed_list = texts::kAnswersUpdateFailedList,
    .error = texts::kAnswersUpdateError,
    .summary_key = "reference_answer_update",
    .apply = &apply_reference_answer,
};

template <const UpdateKind& kind>
void update(const py::object& self, const py::object& question_paper, const py::object& data) {
    guarded(
        [&] {
            self.attr("_validate_configured")();
            if (!is_instance(question_paper, names::question_paper_class())) raise(validation_error(), texts::kNotAPaper);
            // One snapshot of the entries: the per-entry steps run Python code that may touch the record.
            py::list entries = snapshot(data.attr("items")());
            py::list targets;
            for (py::handle entry : entries) targets.append(key_of(entry));
            self.attr("_validate_question_ids_for_paper")(targets, question_paper);

            std::string n = len_text(targets);
            say(kind.updating_all, "n"_a = n);
            std::size_t updated = 0;
            py::list failed;
            for (py::handle entry : entries) {
                py::object q_id = key_of(entry);
                py::object value = value_of(entry);
                auto error = ordinary_error([&] {
                    say(kind.updating_one, "q_id"_a = str(q_id));
                    kind.apply(question_paper, q_id, value);
                    ++updated;
                    say(kind.updated, "q_id"_a = str(q_id));
                });
                if (error) {
                    failed.append(q_id);
                    say(kind.entry_failed, "q_id"_a = str(q_id), "error"_a = *error);
                }
            }

            py::dict record;
            record["status"] = "completed";
            record["target_questions"] = targets;
            record["updated_count"] = updated;
            record["failed_count"] = py::len(failed);
            record["failed_questions"] = failed;
            record_outcome(self, kind.summary_key, record);
            say(kind.done);
            say(texts::kUpdatedCount, "updated"_a = updated, "n"_a = n);
            if (py::len(failed) > 0) say(kind.failed_list, "failed"_a = str(failed));
        },
        [&](const std::string& error) {
            std::string message = fmt::format(kind.error, "error"_a = error);
            py::dict record;
            record["status"] = "error";
            record["error"] = message;
            record_outcome(self, kind.summary_key, record);
            return message;
        },
        processing_error(), {validation_error()});
}

}  // namespace

void update_rubrics_for_questions(py::object self, py::object question_paper, py::object rubrics_data) {
    require_dict(rubrics_data, "rubrics_data");
    update<kRubricUpdate>(self, question_paper, rubrics_data);
}

void update_reference_answers_for_questions(py::object self, py::object question_paper,
                                            py::object reference_answers_data) {
    require_dict(reference_answers_data, "reference_answers_data");
    update<kAnswerUpdate>(self, question_paper, reference_answers_data);
}

py::object create_rubric_from_dict(py::object criteria_data) {
    require_exact_list(criteria_data, "criteria_data");
    return guarded(
        [&]() -> py::object {
            py::list criteria;
            std::size_t i = 0;
            for (py::handle entry : snapshot(criteria_data)) {
                if (!PyDict_Check(entry.ptr())) raise(validation_error(), fmt::format(texts::kCriterionNotDict, "i"_a = i));
                if (!contains(entry, py::str("statement")) || !contains(entry, py::str("mark"))) {
                    raise(validation_error(), fmt::format(texts::kCriterionFields, "i"_a = i));
                }
                std::optional<double> mark = non_negative_number(entry[py::str("mark")]);
                if (!mark) raise(validation_error(), fmt::format(texts::kCriterionMark, "i"_a = i));
                if (grading::above_ceiling(*mark)) {
                    raise(validation_error(), fmt::format(texts::kCriterionMarkTooLarge, "i"_a = i));
                }
                criteria.append(names::criterion_class()(py::arg("statement") = py::str(entry[py::str("statement")]),
                                                  py::arg("mark") = *mark));
                ++i;
            }
            return names::rubric_class()(py::arg("criteria") = criteria);
        },
        with_error<texts::kCreateRubricFailed>, validation_error(),
        {validation_error()});
}

void update_rubrics_from_dict(py::object self, py::object question_paper, py::object rubrics_dict_data) {
    require_dict(rubrics_dict_data, "rubrics_dict_data");
    guarded(
        [&] {
            // Every rubric is built before any question changes.
            py::dict rubrics;
            for (py::handle entry : snapshot(rubrics_dict_data.attr("items")())) {
                rubrics[key_of(entry)] = self.attr("create_rubric_from_dict")(value_of(entry));
            }
            self.attr("update_rubrics_for_questions")(question_paper, rubrics);
        },
        with_error<texts::kUpdateFromDictFailed>, processing_error(),
        {validation_error(), processing_error()});
}

}  // namespace tovrane::facade
