// ExtractorClient: its native state (the settings are C++ members, read-only properties to
// Python) and the functions the module binds.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engine/constants.hpp"
#include "engine/ocr/errors.hpp"
#include "engine/ocr/page_reader.hpp"
#include "engine/ocr/service_retry.hpp"
#include "engine/ocr/tesseract_pool.hpp"
#include "extractor_client/internal.hpp"

namespace tovrane::extractor_client {

namespace py = pybind11;

class ExtractorClient {
public:
    // ---- construction and settings (construction.cpp) -------------------------------------

    ExtractorClient(py::handle extractor_type, py::handle region, py::handle api_key, py::handle app_id,
                    py::handle app_key, py::handle ocr_languages, py::handle max_workers, py::handle use_text_layer);

    const std::string& extractor_type() const { return type_; }
    const std::string& region() const { return region_; }
    int dpi() const { return dpi_; }
    const std::optional<std::string>& ocr_languages() const { return languages_; }
    const std::optional<std::size_t>& max_workers() const { return max_workers_; }

    void set_dpi(py::handle dpi);
    void change_extractor(py::handle extractor_type);
    std::string repr() const;

    // ---- page texts (processing.cpp) ------------------------------------------------------

    /// {page number: text}; `self` is this client's Python object, for the vision reader.
    py::dict process_pdf(py::handle self, py::handle pdf_path, py::handle page_numbers);

    /// Raises what reading a page would raise first for want of an SDK, credentials or OCR
    /// languages; sends nothing.
    void check_reader(py::handle self);

    /// The model the "openai" back end sends pages to, as it would choose it now.
    static std::string vision_model();

private:
    ocr::ReaderFactory local_reader();
    ocr::ReaderFactory openai_reader(py::handle self);
    ocr::ReaderFactory cloud_reader(py::handle self, std::shared_ptr<ocr::RunStop> stop);
    std::optional<std::string> own_api_key() const;
    CloudSettings cloud_settings(py::handle self) const;

    std::string type_;
    std::string region_;
    std::optional<std::string> api_key_;
    std::string api_key_type_;  // the back end api_key was given with
    std::optional<std::string> app_id_;
    std::optional<std::string> app_key_;
    std::optional<std::string> languages_;
    std::optional<std::size_t> max_workers_;
    std::optional<bool> use_text_layer_;
    int dpi_ = constants::kDpi;
    std::mutex pool_mutex_;
    std::shared_ptr<ocr::TesseractPool> pool_;
};

// ---- the bound functions ------------------------------------------------------------------------

/// The constructor behind __init__ (construction.cpp).
std::unique_ptr<ExtractorClient> make_client(py::handle extractor_type, py::handle region, py::handle api_key,
                                             py::handle app_id, py::handle app_key, py::handle ocr_languages,
                                             py::handle max_workers, py::handle use_text_layer);
/// EXTRACTOR_TYPES (construction.cpp).
py::tuple extractor_types();
/// The back end recommended for a subject, from the environment (processing.cpp).
std::string recommended_for_subject(py::handle subject);
/// process_pdf, reached through the Python object (processing.cpp).
py::dict process_pdf(py::object self, py::object pdf_path, py::object page_numbers);
/// check_reader, reached through the Python object (processing.cpp).
void check_reader(py::object self);

/// Raises the Python error that stands for an engine error (construction.cpp).
[[noreturn]] void raise_engine_error(const ocr::OcrError& error);

}  // namespace tovrane::extractor_client
