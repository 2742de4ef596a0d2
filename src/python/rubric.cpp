// Python module tovrane_core.datastructures.rubric: marking rubrics and their criteria.
#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "common/binding.hpp"
#include "common/docmodel.hpp"
#include "common/names.hpp"
#include "common/python.hpp"
#include "engine/text/datastructures_texts.hpp"

namespace tovrane::rubric {

namespace py = pybind11;
namespace dm = tovrane::docmodel;
namespace texts = tovrane::text::datastructures;
using namespace fmt::literals;

namespace {

/// One statement a marker checks; worth `mark` when fulfilled.
class Criterion {
public:
    Criterion(dm::Text statement, double mark)
        : statement_(std::move(statement.value)), mark_(mark) {}

    const std::string& statement() const { return statement_; }
    void set_statement(dm::Text statement) { statement_ = std::move(statement.value); }
    double mark() const { return mark_; }
    void set_mark(double mark) { mark_ = mark; }
    bool is_fulfilled() const { return is_fulfilled_; }
    void set_fulfill(const py::object& flag) { is_fulfilled_ = py_util::truthy(flag); }

    std::string repr() const {
        return fmt::format(texts::kCriterionRepr, "statement"_a = dm::short_repr(statement_),
                           "mark"_a = dm::float_repr(mark_), "is_fulfilled"_a = is_fulfilled_ ? "True" : "False");
    }

private:
    std::string statement_;
    double mark_;
    bool is_fulfilled_ = false;
};

/// The criteria of one question, in order. The list is held as given, so changes
/// made to it in place (append, remove) are changes to the rubric.
class Rubric {
public:
    explicit Rubric(const py::object& criteria) : criteria_(criteria) {}

    const py::list& criteria() const { return criteria_; }
    void set_criteria(const py::object& criteria) { criteria_ = py::list(criteria); }

    // Criteria are read through their attributes, so anything shaped like one counts.
    double total_marks() const {
        double total = 0.0;
        for (py::handle criterion : py_util::snapshot(criteria_)) {
            total += dm::real_of(criterion.attr("mark"));
        }
        return total;
    }

    double awarded_marks() const {
        double total = 0.0;
        for (py::handle criterion : py_util::snapshot(criteria_)) {
            if (py_util::truthy(criterion.attr("is_fulfilled"))) {
                total += dm::real_of(criterion.attr("mark"));
            }
        }
        return total;
    }

    py::list to_list() const {
        py::list entries;
        for (py::handle criterion : py_util::snapshot(criteria_)) {
            py::dict entry;
            entry["statement"] = criterion.attr("statement");
            entry["mark"] = criterion.attr("mark");
            entry["is_fulfilled"] = criterion.attr("is_fulfilled");
            entries.append(entry);
        }
        return entries;
    }

    std::string repr() const { return fmt::format(texts::kRubricRepr, "count"_a = py::len(criteria_)); }

private:
    py::list criteria_;  // list(x) keeps a list as the same object
};

// Pickle states; copy.copy and copy.deepcopy go through them too, and deepcopy's memo
// then keeps shared sub-objects shared.

py::tuple criterion_state(const py::object& self) {
    const auto& criterion = self.cast<const Criterion&>();
    return py::make_tuple(criterion.statement(), criterion.mark(), criterion.is_fulfilled(),
                          dm::instance_dict(self));
}

std::pair<Criterion, py::dict> criterion_from_state(const py::tuple& state) {
    dm::check_state(state, 4, "Criterion");
    Criterion criterion(state[0].cast<dm::Text>(), state[1].cast<double>());
    criterion.set_fulfill(state[2]);
    return {std::move(criterion), state[3].cast<py::dict>()};
}

py::tuple rubric_state(const py::object& self) {
    return py::make_tuple(self.cast<const Rubric&>().criteria(), dm::instance_dict(self));
}

std::pair<Rubric, py::dict> rubric_from_state(const py::tuple& state) {
    dm::check_state(state, 2, "Rubric");
    return {Rubric(state[0]), state[1].cast<py::dict>()};
}

void bind_criterion(py::module_& m) {
    py::class_<Criterion> cls(m, "Criterion", py::dynamic_attr(),
                              "One statement of a rubric, worth `mark` when fulfilled.");
    cls.attr("__module__") = names::kRubricModule;
    py_util::Signed(cls)
        .def(py::init<dm::Text, double>(), py::kw_only(), py::arg("statement"), py::arg("mark"),
             "statement is a str, mark a number; TypeError otherwise. Starts unfulfilled.")
        .def_property("statement", &Criterion::statement, &Criterion::set_statement, "What the marker checks.")
        .def_property("mark", &Criterion::mark, &Criterion::set_mark, "The marks the criterion is worth.")
        .def_property("is_fulfilled", &Criterion::is_fulfilled, &Criterion::set_fulfill,
                      "Whether the answer fulfils the criterion.")
        .def("set_fulfill", &Criterion::set_fulfill, py::arg("flag"),
             "Marks the criterion fulfilled (bool(flag)).")
        .def("__repr__", &Criterion::repr, "Criterion(statement=..., mark=..., is_fulfilled=...).");
    cls.def(py::pickle(&criterion_state, &criterion_from_state));
}

void bind_rubric(py::module_& m) {
    py::class_<Rubric> cls(m, "Rubric", py::dynamic_attr(),
                           "The criteria of a question, in order.");
    cls.attr("__module__") = names::kRubricModule;
    py_util::Signed(cls)
        .def(py::init<const py::object&>(), py::arg("criteria"),
             "criteria: the Criterion objects, in order; a list is kept as the same object.")
        .def_property("criteria", &Rubric::criteria, &Rubric::set_criteria, "The list of Criterion, in order.")
        .def("total_marks", &Rubric::total_marks, "Sum of the marks of all criteria.")
        .def("get_awarded_marks", &Rubric::awarded_marks,
             "Sum of the marks of the fulfilled criteria.")
        .def("to_list", &Rubric::to_list,
             "One dict per criterion: statement, mark, is_fulfilled.")
        .def("__repr__", &Rubric::repr, "Rubric(criteria=n).");
    cls.def(py::pickle(&rubric_state, &rubric_from_state));
}

}  // namespace
}  // namespace tovrane::rubric

PYBIND11_MODULE(rubric, m) {
    m.doc() = "Marking rubrics: Rubric and Criterion.";
    // Each docstring is headed by its text signature (py_util::Signed).
    pybind11::options options;
    options.disable_function_signatures();
    tovrane::rubric::bind_criterion(m);
    tovrane::rubric::bind_rubric(m);
}
