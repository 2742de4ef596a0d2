// Helpers the extractor's own files share; nothing here is bound.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ocr/page_reader.hpp"
#include "engine/ocr/service_retry.hpp"

namespace tovrane::extractor_client {

namespace py = pybind11;

/// What a cloud reader needs, read from the arguments and the environment on the caller's
/// thread when a run starts; `owner` is the ExtractorClient, alive for the whole run.
struct CloudSettings {
    py::handle owner;
    std::string region;                  ///< "aws"
    std::optional<std::string> api_key;  ///< "gemini": the argument, else GEMINI_API_KEY
    std::string model;                   ///< "gemini"
    std::string base_url;                ///< "gemini" (empty: the SDK's own), "mathpix"
    std::optional<std::string> app_id;   ///< "mathpix"
    std::optional<std::string> app_key;  ///< "mathpix"
    std::vector<std::string> secrets;    ///< credentials to blank out of service messages
    std::shared_ptr<ocr::RunStop> stop;  ///< ends back-off waits when the run is abandoned
};

/// Readers that send each rendered page to Amazon Textract, Gemini or Mathpix (cloud.cpp).
ocr::ReaderFactory aws_reader(CloudSettings settings);
ocr::ReaderFactory gemini_reader(CloudSettings settings);
ocr::ReaderFactory mathpix_reader(CloudSettings settings);

/// Raises what the first page of a cloud back end would raise for want of its SDK or its
/// credentials; sends nothing (cloud.cpp).
void check_cloud_reader(std::string_view type, const CloudSettings& settings);

/// The Gemini model a run would use now: TOVRANE_GEMINI_MODEL, else the default (cloud.cpp).
std::string gemini_model();

}  // namespace tovrane::extractor_client
