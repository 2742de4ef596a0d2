// Python module tovrane_core._rehearsal: the offline rehearsal model's rules, for the
// loopback server in tovrane_core/rehearsal.py.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "engine/text/rehearsal.hpp"
#include "engine/text/rehearsal_texts.hpp"

namespace py = pybind11;
namespace rehearsal = tovrane::text::rehearsal;

namespace {

/// UTF-8 of a Python text; lone surrogates travel CESU-8 style and come back as \u escapes.
std::string utf8_of(py::handle text) {
    return py::bytes(py::reinterpret_borrow<py::str>(text).attr("encode")("utf-8", "surrogatepass"));
}

}  // namespace

PYBIND11_MODULE(_rehearsal, m) {
    m.doc() = "Rules of the offline rehearsal model (private)";
    m.attr("NOTICE") = py::str(std::string(rehearsal::kNotice));
    py::register_exception<rehearsal::RehearsalError>(m, "RehearsalError", PyExc_ValueError);
    m.def(
        "answer",
        [](const py::str& schema, const py::iterable& messages) {
            std::vector<rehearsal::Message> converted;
            for (py::handle message : messages) {
                py::tuple pair = py::tuple(py::reinterpret_borrow<py::object>(message));
                if (pair.size() != 2) throw py::value_error("each message is a (role, content) pair");
                converted.push_back({utf8_of(pair[0]), utf8_of(pair[1])});
            }
            std::string name = utf8_of(schema);
            py::gil_scoped_release nogil;
            return rehearsal::answer(name, converted);
        },
        py::arg("schema"), py::arg("messages"),
        "The JSON text of the structured answer to a request naming the response format `schema`,\n"
        "from its (role, content) messages. Raises RehearsalError (a ValueError) for a request the\n"
        "rehearsal model does not know.");
}
