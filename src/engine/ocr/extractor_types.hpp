// The extractor back ends and the rule that recommends one for a subject.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace tovrane::ocr {

/// Every back end a client accepts, in the order messages list them.
inline constexpr std::array<std::string_view, 5> kExtractorTypes = {"local", "openai", "aws", "gemini", "mathpix"};

bool is_extractor_type(std::string_view type);

/// "local, openai, aws, gemini, mathpix"
std::string extractor_type_list();

/// Which credentials the environment holds (each variable set and not empty).
struct Credentials {
    bool mathpix = false;  ///< MATHPIX_APP_ID and MATHPIX_APP_KEY
    bool aws = false;      ///< AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY
    bool gemini = false;   ///< GEMINI_API_KEY
    bool openai = false;   ///< OPENAI_API_KEY
};

/// True for mathematics and the natural sciences: the subject has a word such
/// as "math", "physics", "science", "गणित" or "विज्ञान" (ASCII letters compared
/// without case), and no "social" or "political" ("Social Science" is not).
bool is_math_or_science(std::string_view subject);

/// The back end for a subject: `override_type` (the operator's choice, trimmed,
/// without case) when it names a known type; otherwise "mathpix" for a
/// mathematics or science subject when Mathpix credentials exist, "aws" for any
/// other subject when AWS credentials exist; then "gemini", then "openai" when
/// their keys exist; else "local".
std::string recommend_extractor(std::string_view subject, std::string_view override_type, const Credentials& found);

}  // namespace tovrane::ocr
