// Files and the environment as Python code sees them.
#include "common/files.hpp"

#include <system_error>

#include "common/errors.hpp"
#include "common/python.hpp"
#include "engine/io/atomic_file.hpp"

namespace tovrane::py_util {

void write_atomically(py::handle path, std::string_view contents) {
    const std::string target = module_attr("os", "fsencode")(path).cast<std::string>();
    try {
        py::gil_scoped_release unlocked;
        io::write_file_atomic(target, contents);
    } catch (const std::system_error& err) {
        const int code = err.code().value();
        raise_instance(py::reinterpret_borrow<py::object>(PyExc_OSError)(code, module_attr("os", "strerror")(code),
                                                                         module_attr("os", "fspath")(path)));
    }
}

py::object path_text(py::object value) {
    // str and bytes are paths already; only a type with __fspath__ is converted, so a
    // wrong argument keeps its own type for the caller's message.
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) return value;
    if (!py::hasattr(py::type::handle_of(value), "__fspath__")) return value;
    return module_attr("os", "fspath")(value);
}

void make_parent_directory(py::handle path) {
    py::object directory = module_attr("os.path", "dirname")(path);
    if (truthy(directory)) module_attr("os", "makedirs")(directory, py::arg("exist_ok") = true);
}

std::string json_text(py::handle record) {
    return module_attr("json", "dumps")(record, py::arg("indent") = 4, py::arg("ensure_ascii") = false)
        .cast<std::string>();
}

py::object env_value(const char* name) {
    return module_attr("os", "environ").attr("get")(name);
}

std::optional<std::string> env(const char* name) {
    py::object value = env_value(name);
    if (value.is_none()) return std::nullopt;
    return value.cast<std::string>();
}

void load_dotenv() {
    if (!ordinary_error([] { module_attr("dotenv", "load_dotenv")(); })) return;
    ordinary_error([] {
        py::object path = module_attr("dotenv", "find_dotenv")(py::arg("usecwd") = true);
        module_attr("dotenv", "load_dotenv")(path);
    });
}

}  // namespace tovrane::py_util
