// Pieces shared by the document-model modules (question papers, rubrics, answersheets).
#include "common/docmodel_util.hpp"

#include <fmt/format.h>

#include <utility>

namespace tovrane::docmodel {

namespace {

// Longer texts are cut in reprs; a question text can run to pages.
constexpr Py_ssize_t kReprTextLimit = 40;

}  // namespace

std::optional<std::string> text_or_none(OptionalText text) {
    return text ? std::optional<std::string>(std::move(text->value)) : std::nullopt;
}

std::string require_text(py::handle value, const char* what) {
    if (!PyUnicode_Check(value.ptr())) {
        throw py::type_error(fmt::format("{} must be str, not {}", what,
                                         py::str(py::type::of(value).attr("__name__"))
                                             .cast<std::string>()));
    }
    return value.cast<std::string>();
}

py::object lookup(const py::dict& items, const std::string& key) {
    py::str py_key(key);
    if (!items.contains(py_key)) {
        throw py::key_error(key);
    }
    return items[py_key];
}

py::dict dict_copy(const py::dict& items) {
    auto copy = py::reinterpret_steal<py::dict>(PyDict_Copy(items.ptr()));
    if (!copy) {
        throw py::error_already_set();
    }
    return copy;
}

py::dict instance_dict(const py::object& self) {
    // A copy: older pybind11 adopts the state's dict as the new instance's __dict__,
    // which would make copy.copy share attributes with the original.
    return dict_copy(self.attr("__dict__"));
}

void check_state(const py::tuple& state, std::size_t size, const char* type_name) {
    if (state.size() != size) {
        throw py::value_error(fmt::format("Invalid {} state", type_name));
    }
}

std::string short_repr(const std::string& text) {
    py::str full(text);
    if (py::len(full) <= static_cast<std::size_t>(kReprTextLimit)) {
        return py::repr(full).cast<std::string>();
    }
    py::object head = full[py::slice(0, kReprTextLimit, 1)];
    return py::repr(head).cast<std::string>() + "...";
}

std::string optional_repr(const std::optional<std::string>& text) {
    return text ? py::repr(py::str(*text)).cast<std::string>() : "None";
}

std::string float_repr(double value) {
    return py::repr(py::float_(value)).cast<std::string>();
}

double real_of(py::handle value) {
    return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
}

bool truth_of(py::handle value) {
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) {
        throw py::error_already_set();
    }
    return truth != 0;
}

py::list snapshot(py::handle items) {
    auto copy = py::reinterpret_steal<py::list>(PySequence_List(items.ptr()));
    if (!copy) {
        throw py::error_already_set();
    }
    return copy;
}

}  // namespace tovrane::docmodel
