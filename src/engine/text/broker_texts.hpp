// The model broker's own texts and figures, each in one place.
#pragma once

#include <string_view>

namespace tovrane::text::broker {

// ---- Service client -------------------------------------------------------------------------

inline constexpr std::string_view kApiKeyVariable = "OPENAI_API_KEY";
inline constexpr std::string_view kApiKeyRequired = R"(OPENAI_API_KEY environment variable is required)";
inline constexpr std::string_view kModelName = "gpt-5-mini-2025-08-07";
inline constexpr std::string_view kDefaultTokenLogFile = "llm_token_usage.log";

/// Suffix of the task name and prefix of the additional information of a failed call.
inline constexpr std::string_view kFailedTaskSuffix = "_FAILED";
inline constexpr std::string_view kFailedInfoPrefix = "Error: ";

/// Length of the request-rate window of asynchronous calls.
inline constexpr int kRateWindowSeconds = 60;

/// Waits for the rate window longer than this are logged, so a stall has a visible cause.
inline constexpr double kRateWaitWorthLogging = 1.0;
inline constexpr std::string_view kBrokerLoggerName = "tovrane_core.model_broker";
inline constexpr std::string_view kRateLimitWait =
    R"(Rate limit of {limit} requests per minute reached: waiting {seconds:.1f} s before the next request)";

/// Time-out of one model request and the client's retries after a failed one: the
/// constructor's arguments, else these environment variables, else the defaults.
inline constexpr std::string_view kTimeoutVariable = "TOVRANE_REQUEST_TIMEOUT";
inline constexpr std::string_view kRetriesVariable = "TOVRANE_MAX_RETRIES";
inline constexpr double kDefaultRequestTimeout = 120.0;
inline constexpr long long kDefaultMaxRetries = 2;
inline constexpr std::string_view kBadTimeout = R"({source} must be a positive number of seconds, got {value})";
inline constexpr std::string_view kBadRetries = R"({source} must be a whole number, 0 or more, got {value})";

/// Arguments the host passes below 1 are refused with these messages.
inline constexpr std::string_view kMaxConcurrentTooSmall =
    R"(max_concurrent_requests must be at least 1, got {})";
inline constexpr std::string_view kRequestsPerMinuteTooSmall =
    R"(requests_per_minute must be at least 1, got {})";

// ---- Token accounting and usage log ---------------------------------------------------------

/// US dollars per 1000 tokens.
inline constexpr double kInputPricePer1k = 0.00015;
inline constexpr double kOutputPricePer1k = 0.0006;

/// tiktoken's fallback encoding when the model's own cannot be had.
inline constexpr std::string_view kFallbackEncoding = "cl100k_base";

inline constexpr std::string_view kLoggerName = "token_usage";
inline constexpr std::string_view kLogFormat = R"(%(asctime)s | %(message)s)";
inline constexpr std::string_view kLogDateFormat = R"(%Y-%m-%d %H:%M:%S)";

inline constexpr std::string_view kSessionBanner = R"(

=====================
NEW MODEL BROKER SESSION STARTED
=====================
)";

/// One call's record (fmt named fields). The blanks before the line breaks belong to it.
inline constexpr std::string_view kUsageRecord = R"(

*********************
TASK: {task} | 
MODEL: {model} | 
INPUT_TOKENS: {input} | 
OUTPUT_TOKENS: {output} | 
TOTAL_TOKENS: {total} | 
COST: ${cost:.6f})";

/// Appended to the record only when there is additional information.
inline constexpr std::string_view kUsageRecordInfo = R"( | INFO: {info})";

/// The console line written for every call, logged or not.
inline constexpr std::string_view kUsageConsoleLine = R"(-> {task}: {total} tokens (${cost:.6f}))";

/// Level names `log_to_file` does not know are written at info level as "[LEVEL] msg".
inline constexpr std::string_view kUnknownLevelMessage = R"([{level}] {msg})";

// ---- Structured response models (name, description) -----------------------------------------

inline constexpr std::string_view kCriterionModelDoc = R"(Model for a single criterion)";
inline constexpr std::string_view kRubricResponseDoc = R"(Structured response for rubric generation)";
inline constexpr std::string_view kReferenceAnswerResponseDoc =
    R"(Structured response for reference answer generation)";
inline constexpr std::string_view kEvaluationResponseDoc = R"(Structured response for answer evaluation)";
inline constexpr std::string_view kQuestionModelDoc = R"(Model for a single question)";
inline constexpr std::string_view kQuestionPaperResponseDoc =
    R"(Structured response for question paper parsing)";
inline constexpr std::string_view kReferenceAnswerModelDoc = R"(Model for a single reference answer)";
inline constexpr std::string_view kReferenceAnswerKeysResponseDoc =
    R"(Structured response for reference answer generation)";
inline constexpr std::string_view kStudentAnswerModelDoc = R"(Model for a single student answer)";
inline constexpr std::string_view kAnswersheetResponseDoc =
    R"(Structured response for answersheet parsing)";

}  // namespace tovrane::text::broker
