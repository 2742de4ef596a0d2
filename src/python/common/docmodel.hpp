// Pieces shared by the document-model modules (question papers, rubrics, answersheets).
#pragma once

#include <pybind11/pybind11.h>

#include "common/binding.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tovrane::docmodel {

namespace py = pybind11;

/// A text argument: accepts only str. pybind11's std::string caster also takes bytes,
/// which would later fail to read back (or read back as something else).
struct Text {
    std::string value;
};

/// A text argument that may be None (needs pybind11/stl.h where it is bound).
using OptionalText = std::optional<Text>;

/// The text of an OptionalText, or nullopt for None.
std::optional<std::string> text_or_none(OptionalText text);

/// What a question paper and an answersheet both carry: subject, language and class
/// level, each a text or None.
class Heading {
public:
    Heading(OptionalText subject, OptionalText language, OptionalText class_level)
        : subject_(text_or_none(std::move(subject))),
          language_(text_or_none(std::move(language))),
          class_level_(text_or_none(std::move(class_level))) {}

    const std::optional<std::string>& subject() const { return subject_; }
    void set_subject(OptionalText subject) { subject_ = text_or_none(std::move(subject)); }
    const std::optional<std::string>& language() const { return language_; }
    void set_language(OptionalText language) { language_ = text_or_none(std::move(language)); }
    const std::optional<std::string>& class_level() const { return class_level_; }
    void set_class_level(OptionalText level) { class_level_ = text_or_none(std::move(level)); }

protected:
    std::optional<std::string> subject_;
    std::optional<std::string> language_;
    std::optional<std::string> class_level_;
};

/// The keyword-only constructor that takes the heading, and its three properties, bound on
/// a class whose type derives from Heading.
template <typename Class>
void bind_heading(Class& cls) {
    py_util::Signed(cls)
        .def(py::init<OptionalText, OptionalText, OptionalText>(), py::kw_only(), py::arg("subject"),
             py::arg("language"), py::arg("class_level"),
             "Each of subject, language and class_level is a str or None; TypeError otherwise.")
        .def_property("subject", &Heading::subject, &Heading::set_subject, "The subject (str or None).")
        .def_property("language", &Heading::language, &Heading::set_language, "The language (str or None).")
        .def_property("class_level", &Heading::class_level, &Heading::set_class_level,
                      "The class or grade level (str or None).");
}

/// The item stored under `key`; KeyError(key), as a dict raises it, when there is none.
py::object lookup(const py::dict& items, const std::string& key);

/// A copy of the instance's __dict__, for pickle and copy states.
py::dict instance_dict(const py::object& self);

/// Raises the error pybind11 uses for a malformed pickle or copy state.
void check_state(const py::tuple& state, std::size_t size, std::string_view type_name);

/// repr() of `text`, cut to kReprTextLimit code points so that reprs stay short.
std::string short_repr(const std::string& text);

/// repr() of an optional text: the quoted text, or None.
std::string optional_repr(const std::optional<std::string>& text);

/// repr() of a float the way Python writes it (5.0, 0.1).
std::string float_repr(double value);

/// float(value): a number read through the Python object model.
double real_of(py::handle value);

}  // namespace tovrane::docmodel

namespace pybind11::detail {

template <>
struct type_caster<tovrane::docmodel::Text> {
    PYBIND11_TYPE_CASTER(tovrane::docmodel::Text, const_name("str"));

    bool load(handle src, bool /*convert*/) {
        if (!PyUnicode_Check(src.ptr())) {
            return false;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(src.ptr(), &size);
        if (data == nullptr) {  // lone surrogates cannot be held as UTF-8
            PyErr_Clear();
            return false;
        }
        value.value.assign(data, static_cast<std::size_t>(size));
        return true;
    }

    static handle cast(const tovrane::docmodel::Text& src, return_value_policy, handle) {
        return str(src.value).release();
    }
};

}  // namespace pybind11::detail
