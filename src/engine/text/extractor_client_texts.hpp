// Every exact text of the page reader (Python module tovrane_core.ocr_extractor.
// extractor_client): the PDF and OCR engine's messages, the client's own messages and the
// vision model's instruction. Placeholders are fmt named arguments ({path}), checked when
// compiled.
#pragma once

#include <string_view>

namespace tovrane::text::extractor_client {

// ---- Opening a PDF --------------------------------------------------------------------------

inline constexpr std::string_view kFileNotFound = R"(PDF file not found: {path})";
inline constexpr std::string_view kPermissionDenied = R"(Cannot open PDF {path}: permission denied)";
inline constexpr std::string_view kNotRegular = R"(Cannot open PDF {path}: not a regular file)";
inline constexpr std::string_view kUnreadable = R"(Cannot open PDF {path}: {reason})";
inline constexpr std::string_view kEmptyFile = R"(Cannot open PDF {path}: the file is empty)";
inline constexpr std::string_view kNotPdf = R"(Cannot open PDF {path}: the file is not a PDF)";
inline constexpr std::string_view kDamaged = R"(Cannot open PDF {path}: the file is damaged)";
inline constexpr std::string_view kDamagedBecause = R"(Cannot open PDF {path}: the file is damaged ({reason}))";
inline constexpr std::string_view kEncrypted = R"(Cannot open PDF {path}: the file is encrypted)";
inline constexpr std::string_view kNoPages = R"(Cannot open PDF {path}: the document has no pages)";

// ---- Pages and their reading ----------------------------------------------------------------

/// {pages} is kPage or kPages, as the count asks.
inline constexpr std::string_view kPageOutOfRange = R"(Page {page} is out of range: {path} has {count} {pages})";
inline constexpr std::string_view kPage = "page";
inline constexpr std::string_view kPages = "pages";
inline constexpr std::string_view kRenderFailed = R"(Cannot render page {page} of {path})";
inline constexpr std::string_view kInvalidLanguages =
    R"(Invalid OCR languages '{languages}': expected Tesseract language names joined by '+', such as 'eng' or 'hin+eng')";
/// {installed} lists the installed languages joined by kListSeparator, or reads kNoneInstalled.
inline constexpr std::string_view kLanguageMissing =
    R"(OCR language '{language}' is not installed (installed: {installed}; Tesseract data folder: {folder}))";
inline constexpr std::string_view kNoneInstalled = "none";
inline constexpr std::string_view kListSeparator = ", ";
inline constexpr std::string_view kTesseractInitFailed =
    R"(Tesseract could not start with languages '{languages}' (Tesseract data folder: {folder}))";
inline constexpr std::string_view kTesseractFailed = R"(Tesseract failed on page {page})";
inline constexpr std::string_view kPngFailed = R"(Cannot encode a rendered page as PNG)";

// ---- The client -----------------------------------------------------------------------------

/// {value} is a repr.
inline constexpr std::string_view kUnknownType = R"(Unknown extractor type {value}; accepted types: {types})";
inline constexpr std::string_view kBadDpi = R"(dpi must be a positive integer, got {value})";
inline constexpr std::string_view kBadMaxWorkers = R"(max_workers must be an integer from 1 to 1024 or None, got {value})";
/// Argument kinds, as the wrong-type message names them.
inline constexpr std::string_view kTextOrNone = "a string or None";
inline constexpr std::string_view kText = "a string";
inline constexpr std::string_view kPageList = "a list of page numbers or None";
inline constexpr std::string_view kPageNumbersName = "page numbers";
inline constexpr std::string_view kIntegers = "integers";
inline constexpr std::string_view kResolutionLowered =
    R"([ExtractorClient] Page {page} of {path} is too large to render at {dpi} dpi; read it at {lowered} dpi instead)";
inline constexpr std::string_view kRepr = R"(ExtractorClient(extractor_type={type}, region={region}, dpi={dpi}))";

// ---- The "openai" back end ------------------------------------------------------------------

inline constexpr std::string_view kOpenAiKeyMissing =
    R"(The 'openai' extractor needs an OpenAI API key: pass api_key or set OPENAI_API_KEY)";
inline constexpr std::string_view kOpenAiFailed = R"(OpenAI OCR of page {page} failed: {error})";
inline constexpr std::string_view kOpenAiNoText = R"(OpenAI OCR of page {page} returned no text)";
inline constexpr std::string_view kOpenAiInstruction =
    R"(Transcribe all text on this scanned exam page exactly as it is written, line by line from top to bottom, including question numbers, marks, labels and handwritten answers. Keep the original language, spelling and line breaks. Write mathematics, formulas and units as plain text (for example x^2 + 3x = 10, H2O, 70°C, 2×3=6). Do not correct, summarise, explain or format anything. If the page has no text, answer with nothing.)";

// ---- The cloud back ends ("aws", "gemini", "mathpix") ----------------------------------------

/// A back end whose optional SDK is not installed; {extra} names the package extra.
inline constexpr std::string_view kSdkMissing =
    R"(The '{type}' extractor needs the Python package {package}: pip install "tovrane_core[{extra}]" (or "tovrane_core[cloud]" for every cloud reader))";
inline constexpr std::string_view kAwsCredentialsMissing =
    R"(The 'aws' extractor needs AWS credentials: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY (or configure an AWS profile))";
inline constexpr std::string_view kGeminiKeyMissing =
    R"(The 'gemini' extractor needs a Gemini API key: pass api_key or set GEMINI_API_KEY)";
inline constexpr std::string_view kMathpixKeysMissing =
    R"(The 'mathpix' extractor needs Mathpix credentials: pass app_id and app_key or set MATHPIX_APP_ID and MATHPIX_APP_KEY)";
/// Service names as the failure messages below show them.
inline constexpr std::string_view kAwsService = "AWS Textract";
inline constexpr std::string_view kGeminiService = "Gemini";
inline constexpr std::string_view kMathpixService = "Mathpix";
/// {detail} is kServiceStatus, or the message alone when no HTTP status came with it.
inline constexpr std::string_view kServiceFailed = R"({service} OCR of page {page} failed: {detail})";
inline constexpr std::string_view kServiceGaveUp = R"({service} OCR of page {page} failed after {attempts} attempts: {detail})";
inline constexpr std::string_view kServiceStatus = R"(HTTP {status}: {message})";
/// A service error as its code and message ("ThrottlingException: Rate exceeded").
inline constexpr std::string_view kCodeAndMessage = R"({code}: {message})";
inline constexpr std::string_view kClientFailed = R"({service} client could not start: {error})";
inline constexpr std::string_view kNoAnswer = R"(no answer from {url}: {error})";
inline constexpr std::string_view kGeminiNoText = R"(Gemini returned no text ({reason}))";
inline constexpr std::string_view kMathpixNotJson = R"(the answer is not JSON: {preview})";
/// Stands for a credential that a service echoed back in an error message.
inline constexpr std::string_view kRedacted = "***";
inline constexpr std::string_view kGeminiInstruction =
    R"(Transcribe all text on this scanned exam page exactly as it is written, line by line from top to bottom, including question numbers, marks, labels and handwritten answers. Keep the original language, spelling and line breaks. Write mathematics in LaTeX, inline as $...$ and displayed as $$...$$. Do not correct, summarise, explain, comment on or format anything. If the page has no text, answer with nothing.)";
/// Mathpix's answer for a page without content: an empty page, not a failure.
inline constexpr std::string_view kMathpixNoContent = "image_no_content";

/// Values of TOVRANE_OCR_TEXT_LAYER that turn text layers off (stripped, lower case).
inline constexpr std::string_view kFalseWords[] = {"0", "false", "no", "off"};

}  // namespace tovrane::text::extractor_client
