// Python module tovrane_core._rehearsal: the offline rehearsal model's rules, for the
// loopback server in python/tovrane_core/rehearsal.py.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "common/binding.hpp"
#include "common/python.hpp"
#include "engine/text/rehearsal.hpp"
#include "engine/text/rehearsal_texts.hpp"

namespace tovrane::rehearsal {

namespace py = pybind11;

namespace {

/// The JSON answer to one request; the rules run without the GIL.
std::string answer(const py::str& schema, const py::iterable& messages) {
    std::vector<text::rehearsal::Message> converted;
    for (py::handle message : messages) {
        py::tuple pair = py::tuple(py::reinterpret_borrow<py::object>(message));
        if (pair.size() != 2) throw py::value_error(std::string(text::rehearsal::kNotAPair));
        // Lone surrogates travel CESU-8 style and come back as \u escapes.
        converted.push_back({py_util::encode_utf8(pair[0]), py_util::encode_utf8(pair[1])});
    }
    std::string name = py_util::encode_utf8(schema);
    py::gil_scoped_release nogil;
    return text::rehearsal::answer(name, converted);
}

}  // namespace
}  // namespace tovrane::rehearsal

PYBIND11_MODULE(_rehearsal, m) {
    namespace py = pybind11;
    using namespace tovrane;
    m.doc() = "Rules of the offline rehearsal model (private)";
    m.attr("NOTICE") = py_util::to_py(text::rehearsal::kNotice);
    py::register_exception<text::rehearsal::RehearsalError>(m, "RehearsalError", PyExc_ValueError);
    py::options options;
    options.disable_function_signatures();
    py_util::Signed(m).def("answer", &rehearsal::answer, py::arg("schema"), py::arg("messages"),
          "The JSON text of the structured answer to a request naming the response format `schema`,\n"
          "from its (role, content) messages. Raises RehearsalError (a ValueError) for a request the\n"
          "rehearsal model does not know.");
}
