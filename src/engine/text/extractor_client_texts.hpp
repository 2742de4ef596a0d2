// Every message text of the PDF and OCR engine, in one place (fmt format strings).
#pragma once

namespace tovrane::ocr::messages {

inline constexpr const char* file_not_found = R"(PDF file not found: {})";
inline constexpr const char* permission_denied = R"(Cannot open PDF {}: permission denied)";
inline constexpr const char* not_regular = R"(Cannot open PDF {}: not a regular file)";
inline constexpr const char* unreadable = R"(Cannot open PDF {}: {})";
inline constexpr const char* empty_file = R"(Cannot open PDF {}: the file is empty)";
inline constexpr const char* not_pdf = R"(Cannot open PDF {}: the file is not a PDF)";
inline constexpr const char* damaged = R"(Cannot open PDF {}: the file is damaged)";
inline constexpr const char* damaged_because = R"(Cannot open PDF {}: the file is damaged ({}))";
inline constexpr const char* encrypted = R"(Cannot open PDF {}: the file is encrypted)";
inline constexpr const char* no_pages = R"(Cannot open PDF {}: the document has no pages)";
inline constexpr const char* page_out_of_range = R"(Page {} is out of range: {} has {} {})";
inline constexpr const char* render_failed = R"(Cannot render page {} of {})";
inline constexpr const char* invalid_languages =
    R"(Invalid OCR languages '{}': expected Tesseract language names joined by '+', such as 'eng' or 'hin+eng')";
inline constexpr const char* language_missing =
    R"(OCR language '{}' is not installed (installed: {}; Tesseract data folder: {}))";
inline constexpr const char* tesseract_init_failed =
    R"(Tesseract could not start with languages '{}' (Tesseract data folder: {}))";
inline constexpr const char* tesseract_failed = R"(Tesseract failed on page {})";
inline constexpr const char* png_failed = R"(Cannot encode a rendered page as PNG)";

}  // namespace tovrane::ocr::messages
