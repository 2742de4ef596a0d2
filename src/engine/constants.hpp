// Every default a user can change, and the environment variables that change them, in
// one place. The constructors, the configuration record and the readers take these.
#pragma once

#include <string_view>

namespace tovrane::constants {

// ---- The model service ----------------------------------------------------------------------

/// The language model of every request (and of the "openai" page reader).
inline constexpr std::string_view kModelName = "gpt-5-mini-2025-08-07";
/// Where ModelBroker logs token usage.
inline constexpr std::string_view kTokenLogFile = "llm_token_usage.log";
/// Requests in flight at once, and started per minute, by the asynchronous path.
inline constexpr int kMaxConcurrentRequests = 5;
inline constexpr int kRequestsPerMinute = 50;
/// Seconds one model request may take, and the client's retries of a failed one.
inline constexpr double kRequestTimeoutSeconds = 120.0;
inline constexpr long long kMaxRetries = 2;

/// Language of a question paper imported from JSON that names none.
inline constexpr std::string_view kPaperLanguage = "English";

// ---- Page reading ---------------------------------------------------------------------------

inline constexpr std::string_view kExtractorType = "aws";
inline constexpr std::string_view kExtractorRegion = "us-east-1";
/// Rendering resolution of pages read by OCR or a vision model.
inline constexpr int kDpi = 150;
/// Tesseract languages of the local reader.
inline constexpr std::string_view kOcrLanguages = "eng";
/// Model of the "openai" page reader: the same model reads the pages.
inline constexpr std::string_view kVisionModel = kModelName;
/// Model of the "gemini" page reader.
inline constexpr std::string_view kGeminiModel = "gemini-2.5-flash";
/// Where the "mathpix" page reader sends its v3/text requests.
inline constexpr std::string_view kMathpixBaseUrl = "https://api.mathpix.com";
/// Seconds one cloud page request may take.
inline constexpr double kCloudTimeoutSeconds = 120.0;
/// A throttled or busy cloud reader tries a page again this many times, waiting what the
/// service asks (Retry-After) or kCloudBackoffSeconds doubled at each retry, never longer
/// than kCloudMaxDelaySeconds.
inline constexpr int kCloudRetries = 3;
inline constexpr double kCloudBackoffSeconds = 1.0;
inline constexpr double kCloudMaxDelaySeconds = 30.0;

// ---- Environment variables (C strings: they go to os.environ as they are) -------------------

inline constexpr const char* kOpenAiKeyVariable = "OPENAI_API_KEY";
inline constexpr const char* kRequestTimeoutVariable = "TOVRANE_REQUEST_TIMEOUT";
inline constexpr const char* kMaxRetriesVariable = "TOVRANE_MAX_RETRIES";
inline constexpr const char* kExtractorVariable = "TOVRANE_EXTRACTOR";
inline constexpr const char* kOcrLanguagesVariable = "TOVRANE_OCR_LANG";
inline constexpr const char* kVisionModelVariable = "TOVRANE_OCR_MODEL";
inline constexpr const char* kTextLayerVariable = "TOVRANE_OCR_TEXT_LAYER";
inline constexpr const char* kTessdataVariable = "TESSDATA_PREFIX";
inline constexpr const char* kAwsKeyIdVariable = "AWS_ACCESS_KEY_ID";
inline constexpr const char* kAwsSecretVariable = "AWS_SECRET_ACCESS_KEY";
inline constexpr const char* kAwsSessionTokenVariable = "AWS_SESSION_TOKEN";
inline constexpr const char* kGeminiKeyVariable = "GEMINI_API_KEY";
inline constexpr const char* kMathpixAppIdVariable = "MATHPIX_APP_ID";
inline constexpr const char* kMathpixAppKeyVariable = "MATHPIX_APP_KEY";
inline constexpr const char* kGeminiModelVariable = "TOVRANE_GEMINI_MODEL";
inline constexpr const char* kGeminiBaseUrlVariable = "TOVRANE_GEMINI_BASE_URL";
inline constexpr const char* kMathpixBaseUrlVariable = "TOVRANE_MATHPIX_BASE_URL";

}  // namespace tovrane::constants
