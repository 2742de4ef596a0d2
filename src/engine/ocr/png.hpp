// In-memory PNG and base64 encoding of rendered pages, for vision-model requests.
#pragma once

#include "engine/ocr/pdf_document.hpp"

#include <string>
#include <string_view>

namespace tovrane::ocr {

/// `image` as an 8-bit gray PNG file, in memory. Throws OcrError(failed).
std::string encode_png(const GrayImage& image);

/// Standard base64 (RFC 4648) with padding.
std::string base64_encode(std::string_view bytes);

}  // namespace tovrane::ocr
