// Python-semantics helpers shared by every extension module.
#include "common/pyutil.hpp"

namespace tovrane::py_util {

bool is_ordinary(const py::error_already_set& err) {
    return err.matches(PyExc_Exception);
}

std::string error_text(const py::error_already_set& err) {
    return py::str(err.value()).cast<std::string>();
}

std::string str(py::handle obj) {
    return py::str(obj).cast<std::string>();
}

void print_line(std::string_view text) {
    py::print(py::str(text.data(), text.size()));
}

py::object module_attr(const char* module, const char* name) {
    return py::module_::import(module).attr(name);
}

}  // namespace tovrane::py_util
