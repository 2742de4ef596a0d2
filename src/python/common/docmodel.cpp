// Pieces shared by the document-model modules (question papers, rubrics, answersheets).
#include "common/docmodel.hpp"

#include <fmt/format.h>

#include <utility>

#include "common/python.hpp"
#include "common/python_texts.hpp"

namespace tovrane::docmodel {

namespace texts = tovrane::text::python;
using namespace fmt::literals;

namespace {

// Longer texts are cut in reprs; a question text can run to pages.
constexpr std::size_t kReprTextLimit = 40;

}  // namespace

std::optional<std::string> text_or_none(OptionalText text) {
    return text ? std::optional<std::string>(std::move(text->value)) : std::nullopt;
}

py::object lookup(const py::dict& items, const std::string& key) {
    py::str py_key(key);
    if (!items.contains(py_key)) {
        throw py::key_error(key);
    }
    return items[py_key];
}

py::dict instance_dict(const py::object& self) {
    // A copy: older pybind11 adopts the state's dict as the new instance's __dict__,
    // which would make copy.copy share attributes with the original.
    return py_util::dict_copy(self.attr("__dict__"));
}

void check_state(const py::tuple& state, std::size_t size, std::string_view type_name) {
    if (state.size() != size) {
        throw py::value_error(fmt::format(texts::kInvalidState, "type"_a = type_name));
    }
}

std::string short_repr(const std::string& text) {
    py_util::Clipped clipped = py_util::clip(py::str(text), kReprTextLimit);
    std::string out = py_util::repr_text(clipped.head);
    if (clipped.cut) out += texts::kEllipsis;
    return out;
}

std::string optional_repr(const std::optional<std::string>& text) {
    return text ? py_util::repr_text(py::str(*text)) : "None";
}

std::string float_repr(double value) {
    return py_util::repr_text(py::float_(value));
}

double real_of(py::handle value) {
    return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
}

}  // namespace tovrane::docmodel
