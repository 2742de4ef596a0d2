// How a class is bound: the one way to give a class an __init__ that also sets instance
// attributes, and the one way a bound callable gets its signature, on pybind11's public API.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tovrane::py_util {

namespace py = pybind11;

/// Whether a callable's parameter list starts with `self`.
enum class Receiver { none, self };

namespace signature_parts {

inline void append_parameter(std::string& params, bool& first, std::string_view item) {
    if (!first) params += ", ";
    params += item;
    first = false;
}

template <typename Extra>
void add_parameter(std::string& params, bool& first, const Extra& extra) {
    if constexpr (std::is_same_v<Extra, py::arg_v>) {
        // A default written as its repr, which inspect reads back as a literal.
        std::string item = std::string(extra.name) + "=";
        item += extra.descr != nullptr ? std::string(extra.descr) : py::repr(extra.value).template cast<std::string>();
        append_parameter(params, first, item);
    } else if constexpr (std::is_same_v<Extra, py::arg>) {
        append_parameter(params, first, extra.name);
    } else if constexpr (std::is_same_v<Extra, py::kw_only>) {
        append_parameter(params, first, "*");
    } else if constexpr (std::is_same_v<Extra, py::pos_only>) {
        append_parameter(params, first, "/");
    }
}

template <typename Extra>
void take_doc(std::string_view& doc, const Extra& extra) {
    if constexpr (std::is_same_v<Extra, py::doc>) {
        doc = extra.value;
    } else if constexpr (std::is_convertible_v<const Extra&, const char*>) {
        doc = static_cast<const char*>(extra);
    }
}

}  // namespace signature_parts

/// The docstring of a bound callable headed by its text signature
/// (`name(self, a, b='json')`, a `--` line, a blank line), the form CPython reads into
/// `__text_signature__`, so inspect.signature and help() show the real parameters. The
/// parameters come from the same py::arg list the binding passes, so the two cannot drift.
/// The module must turn pybind11's own signature lines off (py::options), which would
/// stand in front of it.
template <typename... Extra>
std::string signed_doc(std::string_view name, Receiver receiver, const Extra&... extra) {
    std::string params;
    bool first = true;
    if (receiver == Receiver::self) signature_parts::add_parameter(params, first, py::arg("self"));
    (signature_parts::add_parameter(params, first, extra), ...);
    std::string_view doc;
    (signature_parts::take_doc(doc, extra), ...);
    std::string out(name);
    out += "(" + params + ")\n--\n\n";
    out += doc;
    return out;
}

/// A class or module whose `def`s carry their text signature (see signed_doc). It has
/// the chaining shape of py::class_, so a binding writes `bound.def(...).def(...)`; the
/// docstring is passed the usual way, as a string among the extras.
template <typename Target>
class Signed {
public:
    explicit Signed(Target& target) : target_(target) {}

    template <typename Func, typename... Extra>
    Signed& def(const char* name, Func&& f, const Extra&... extra) {
        target_.def(name, std::forward<Func>(f), extra..., py::doc(signed_doc(name, receiver(), extra...).c_str()));
        return *this;
    }

    /// A constructor from py::init: the class's signature is its __init__'s, less self.
    template <typename... Args, typename... Extra>
    Signed& def(py::detail::initimpl::constructor<Args...>&& init, const Extra&... extra) {
        target_.def(std::move(init), extra...,
                    py::doc(signed_doc("__init__", Receiver::self, extra...).c_str()));
        return *this;
    }

    /// A constructor from a factory function, py::init(&make).
    template <typename... Factory, typename... Extra>
    Signed& def(py::detail::initimpl::factory<Factory...>&& init, const Extra&... extra) {
        target_.def(std::move(init), extra...,
                    py::doc(signed_doc("__init__", Receiver::self, extra...).c_str()));
        return *this;
    }

    template <typename Func, typename... Extra>
    Signed& def_static(const char* name, Func&& f, const Extra&... extra) {
        target_.def_static(name, std::forward<Func>(f), extra...,
                           py::doc(signed_doc(name, Receiver::none, extra...).c_str()));
        return *this;
    }

    template <typename... Rest>
    Signed& def_property(Rest&&... rest) {
        target_.def_property(std::forward<Rest>(rest)...);
        return *this;
    }

    template <typename... Rest>
    Signed& def_property_readonly(Rest&&... rest) {
        target_.def_property_readonly(std::forward<Rest>(rest)...);
        return *this;
    }

    Target& target() { return target_; }

private:
    static constexpr Receiver receiver() {
        return std::is_same_v<Target, py::module_> ? Receiver::none : Receiver::self;
    }

    Target& target_;
};

template <typename Target>
Signed(Target&) -> Signed<Target>;

/// Defines `cls.__init__(self, args...)`: pybind11's own constructor builds the native
/// part (its default constructor) and then `set_attributes(self, args...)` fills the
/// instance dictionary, in its order. `extra` names the arguments (py::arg, py::kw_only)
/// and may carry the docstring; the signature heads it (see signed_doc).
/// The generated constructor stays reachable only through this one, so an instance never
/// exists without its native part, and a Python subclass may call it through super().
template <typename Class, typename... Args, typename... Extra>
void def_init(Class& cls, void (*set_attributes)(py::object, Args...), const Extra&... extra) {
    cls.def(py::init<>());
    py::object build_native = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [build_native, set_attributes](py::object self, Args... args) {
            build_native(self);
            set_attributes(std::move(self), std::move(args)...);
        },
        py::name("__init__"), py::is_method(cls), extra...,
        py::doc(signed_doc("__init__", Receiver::self, extra...).c_str()));
}

}  // namespace tovrane::py_util
