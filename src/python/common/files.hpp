// Files and the environment as Python code sees them: paths, os.environ, dotenv files.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <string_view>

namespace tovrane::py_util {

namespace py = pybind11;

/// Replaces the file at `path` (str, bytes or path-like, encoded as os.fsencode does)
/// with `contents` atomically, without the GIL while writing. A failure is raised as the
/// OSError subclass Python would raise (PermissionError, IsADirectoryError, ...), with
/// os.strerror's text and the path as given.
void write_atomically(py::handle path, std::string_view contents);

/// os.fspath(value) for an os.PathLike (a pathlib.Path): paths are taken in either form
/// and then travel, and show in messages and records, as text. Anything else comes back
/// as it is, for the caller's own type check to name.
py::object path_text(py::object value);

/// os.makedirs(os.path.dirname(path), exist_ok=True) when the path names a folder.
void make_parent_directory(py::handle path);

/// json.dumps(record, indent=4, ensure_ascii=False): how every saved record is written.
std::string json_text(py::handle record);

/// os.environ.get(name): the variable's value, or None.
py::object env_value(const char* name);

/// The variable's value, or nothing when it is unset.
std::optional<std::string> env(const char* name);

/// python-dotenv's `load_dotenv()`. Its default search walks up from the calling script,
/// and fails when there is none (a program read from standard input): the search then
/// starts from the current directory. A dotenv file that cannot be read never stops the
/// caller: the environment simply lacks its entries.
void load_dotenv();

}  // namespace tovrane::py_util
