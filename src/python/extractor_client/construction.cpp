// ExtractorClient's construction and settings: every argument checked before any work.
#include <fmt/format.h>

#include <climits>
#include <memory>
#include <optional>
#include <string>

#include "common/errors.hpp"
#include "common/python.hpp"
#include "engine/ocr/extractor_types.hpp"
#include "engine/text/extractor_client_texts.hpp"
#include "extractor_client/operations.hpp"

namespace tovrane::extractor_client {

namespace texts = tovrane::text::extractor_client;
using namespace fmt::literals;
using namespace py_util;

namespace {

std::string checked_type(py::handle value) {
    if (!PyUnicode_Check(value.ptr()) || !ocr::is_extractor_type(value.cast<std::string>())) {
        raise(PyExc_ValueError,
              fmt::format(texts::kUnknownType, "value"_a = repr_text(value), "types"_a = ocr::extractor_type_list()));
    }
    return value.cast<std::string>();
}

std::optional<std::string> optional_text(const char* name, py::handle value) {
    if (value.is_none()) return std::nullopt;
    if (!PyUnicode_Check(value.ptr())) wrong_type(name, texts::kTextOrNone, value);
    return value.cast<std::string>();
}

std::optional<std::size_t> optional_workers(py::handle value) {
    if (value.is_none()) return std::nullopt;
    if (!is_plain_int(value) || value.cast<py::int_>() < py::int_(1) || value.cast<py::int_>() > py::int_(1024)) {
        raise(PyExc_ValueError, fmt::format(texts::kBadMaxWorkers, "value"_a = repr_text(value)));
    }
    return value.cast<std::size_t>();
}

void check_languages(const std::string& languages) {
    try {
        ocr::check_language_list(languages);
    } catch (const ocr::OcrError& error) {
        raise_engine_error(error);
    }
}

PyObject* python_type(ocr::ErrorKind kind) {
    switch (kind) {
        case ocr::ErrorKind::file_not_found:
            return PyExc_FileNotFoundError;
        case ocr::ErrorKind::permission_denied:
            return PyExc_PermissionError;
        case ocr::ErrorKind::bad_input:
            return PyExc_ValueError;
        case ocr::ErrorKind::failed:
            break;
    }
    return PyExc_RuntimeError;
}

}  // namespace

void raise_engine_error(const ocr::OcrError& error) {
    // Messages carry file names as the file system spells them: decode them as os.fsdecode does.
    py::object message = py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefault(error.what()));
    if (!message) throw py::error_already_set();
    PyErr_SetObject(python_type(error.kind()), message.ptr());
    throw py::error_already_set();
}

ExtractorClient::ExtractorClient(py::handle extractor_type, py::handle region, py::handle api_key, py::handle app_id,
                                 py::handle app_key, py::handle ocr_languages, py::handle max_workers,
                                 py::handle use_text_layer)
    : type_(checked_type(extractor_type)),
      api_key_(optional_text("api_key", api_key)),
      api_key_type_(type_),
      app_id_(optional_text("app_id", app_id)),
      app_key_(optional_text("app_key", app_key)),
      languages_(optional_text("ocr_languages", ocr_languages)),
      max_workers_(optional_workers(max_workers)) {
    if (!PyUnicode_Check(region.ptr())) wrong_type("region", texts::kText, region);
    region_ = region.cast<std::string>();
    if (languages_) check_languages(*languages_);
    if (!use_text_layer.is_none()) {
        use_text_layer_ = py::bool_(py::reinterpret_borrow<py::object>(use_text_layer)).cast<bool>();
    }
}

void ExtractorClient::set_dpi(py::handle dpi) {
    if (!is_plain_int(dpi) || dpi.cast<py::int_>() < py::int_(1) || dpi.cast<py::int_>() > py::int_(INT_MAX)) {
        raise(PyExc_ValueError, fmt::format(texts::kBadDpi, "value"_a = repr_text(dpi)));
    }
    dpi_ = dpi.cast<int>();
}

void ExtractorClient::change_extractor(py::handle extractor_type) { type_ = checked_type(extractor_type); }

std::string ExtractorClient::repr() const {
    return fmt::format(texts::kRepr, "type"_a = repr_text(py::str(type_)), "region"_a = repr_text(py::str(region_)),
                       "dpi"_a = dpi_);
}

std::unique_ptr<ExtractorClient> make_client(py::handle extractor_type, py::handle region, py::handle api_key,
                                             py::handle app_id, py::handle app_key, py::handle ocr_languages,
                                             py::handle max_workers, py::handle use_text_layer) {
    return std::make_unique<ExtractorClient>(extractor_type, region, api_key, app_id, app_key, ocr_languages,
                                             max_workers, use_text_layer);
}

py::tuple extractor_types() {
    py::list types;
    for (const auto type : ocr::kExtractorTypes) types.append(to_py(type));
    return py::tuple(types);
}

}  // namespace tovrane::extractor_client
