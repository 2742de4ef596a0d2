// Rubrics and reference answers replaced by hand, and rubrics built from plain records.
#include <string>

#include "engine/grading/marks.hpp"
#include "engine/text/facade_texts.hpp"
#include "tovrane/ops.hpp"
#include "tovrane/support.hpp"

namespace tovrane::facade {

namespace txt = tovrane::text::facade;
using namespace detail;

namespace {

// The texts and the per-entry step that tell the two update operations apart.
struct UpdateKind {
    const char* updating_all;
    const char* updating_one;
    const char* updated;
    const char* entry_failed;
    const char* done;
    const char* failed_list;
    const char* error;
    const char* summary_key;
    void (*apply)(const py::object& question_paper, py::handle q_id, py::handle value);
};

// The parts of a (key, value) pair from dict.items().
py::object key_of(py::handle item) { return py::reinterpret_borrow<py::tuple>(item)[0]; }
py::object value_of(py::handle item) { return py::reinterpret_borrow<py::tuple>(item)[1]; }

void apply_rubric(const py::object& question_paper, py::handle q_id, py::handle rubric) {
    if (!is_instance(rubric, rubric_class())) {
        raise(PyExc_ValueError, fill(txt::kNotARubric, fmt::arg("q_id", text(q_id))));
    }
    question_paper.attr("get_question")(q_id).attr("set_rubric")(rubric);
}

void apply_reference_answer(const py::object& question_paper, py::handle q_id, py::handle answer) {
    if (!PyUnicode_Check(answer.ptr())) {
        raise(PyExc_ValueError, fill(txt::kAnswerNotText, fmt::arg("q_id", text(q_id))));
    }
    if (!truth_of(answer.attr("strip")())) {
        raise(PyExc_ValueError, fill(txt::kAnswerBlank, fmt::arg("q_id", text(q_id))));
    }
    question_paper.attr("get_question")(q_id).attr("set_reference_answer")(answer);
}

constexpr UpdateKind kRubricUpdate = {
    txt::kRubricsUpdating,  txt::kRubricUpdating,           txt::kRubricUpdated,
    txt::kRubricUpdateFailed, txt::kRubricsUpdateDone,      txt::kRubricsUpdateFailedList,
    txt::kRubricsUpdateError, "rubric_update",              &apply_rubric};

constexpr UpdateKind kAnswerUpdate = {
    txt::kAnswersUpdating,  txt::kAnswerUpdating,           txt::kAnswerUpdated,
    txt::kAnswerUpdateFailed, txt::kAnswersUpdateDone,      txt::kAnswersUpdateFailedList,
    txt::kAnswersUpdateError, "reference_answer_update",    &apply_reference_answer};

void update(const UpdateKind& kind, const py::object& self, const py::object& question_paper,
            const py::object& data) {
    guarded(
        [&] {
            self.attr("_validate_configured")();
            if (!is_instance(question_paper, question_paper_class())) raise(validation_error(), txt::kNotAPaper);
            // One snapshot of the entries: the per-entry steps run Python code that may touch the record.
            py::list entries = snapshot(data.attr("items")());
            py::list targets;
            for (py::handle entry : entries) targets.append(key_of(entry));
            self.attr("_validate_question_ids_for_paper")(targets, question_paper);

            std::string n = len_text(targets);
            say(kind.updating_all, fmt::arg("n", n));
            std::size_t updated = 0;
            py::list failed;
            for (py::handle entry : entries) {
                py::object q_id = key_of(entry);
                py::object value = value_of(entry);
                auto error = ordinary_error([&] {
                    say(kind.updating_one, fmt::arg("q_id", text(q_id)));
                    kind.apply(question_paper, q_id, value);
                    ++updated;
                    say(kind.updated, fmt::arg("q_id", text(q_id)));
                });
                if (error) {
                    failed.append(q_id);
                    say(kind.entry_failed, fmt::arg("q_id", text(q_id)), fmt::arg("error", *error));
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
            say(txt::kUpdatedCount, fmt::arg("updated", updated), fmt::arg("n", n));
            if (py::len(failed) > 0) say(kind.failed_list, fmt::arg("failed", text(failed)));
        },
        processing_error(),
        [&](const std::string& error) {
            std::string message = fill(kind.error, fmt::arg("error", error));
            py::dict record;
            record["status"] = "error";
            record["error"] = message;
            record_outcome(self, kind.summary_key, record);
            return message;
        },
        {validation_error()});
}

}  // namespace

void update_rubrics_for_questions(py::object self, py::object question_paper, py::object rubrics_data) {
    require_dict(rubrics_data, "rubrics_data");
    update(kRubricUpdate, self, question_paper, rubrics_data);
}

void update_reference_answers_for_questions(py::object self, py::object question_paper,
                                            py::object reference_answers_data) {
    require_dict(reference_answers_data, "reference_answers_data");
    update(kAnswerUpdate, self, question_paper, reference_answers_data);
}

py::object create_rubric_from_dict(py::object criteria_data) {
    require_exact_list(criteria_data, "criteria_data");
    return guarded(
        [&]() -> py::object {
            py::list criteria;
            std::size_t i = 0;
            for (py::handle entry : snapshot(criteria_data)) {
                if (!PyDict_Check(entry.ptr())) raise(validation_error(), fill(txt::kCriterionNotDict, fmt::arg("i", i)));
                if (!contains(entry, py::str("statement")) || !contains(entry, py::str("mark"))) {
                    raise(validation_error(), fill(txt::kCriterionFields, fmt::arg("i", i)));
                }
                std::optional<double> mark = non_negative_number(entry[py::str("mark")]);
                if (!mark) raise(validation_error(), fill(txt::kCriterionMark, fmt::arg("i", i)));
                if (grading::above_ceiling(*mark)) {
                    raise(validation_error(), fill(txt::kCriterionMarkTooLarge, fmt::arg("i", i)));
                }
                criteria.append(criterion_class()(py::arg("statement") = py::str(entry[py::str("statement")]),
                                                  py::arg("mark") = *mark));
                ++i;
            }
            return rubric_class()(py::arg("criteria") = criteria);
        },
        validation_error(),
        [](const std::string& error) { return fill(txt::kCreateRubricFailed, fmt::arg("error", error)); },
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
        processing_error(),
        [](const std::string& error) { return fill(txt::kUpdateFromDictFailed, fmt::arg("error", error)); },
        {validation_error(), processing_error()});
}

}  // namespace tovrane::facade
