// The extractor back ends and the rule that recommends one for a subject.
#include "engine/ocr/extractor_types.hpp"

#include <algorithm>
#include <fmt/format.h>
#include <vector>

namespace tovrane::ocr {

namespace detail {

constexpr std::array<std::string_view, 28> kMathScienceWords = {
    "math",     "maths",        "mathematics", "mathematical", "arithmetic", "algebra",      "geometry",
    "trigonometry", "calculus", "statistics",  "mensuration",  "physics",    "chemistry",    "biology",
    "science",  "sciences",     "biochemistry", "biotechnology", "botany",   "zoology",      "ganit",
    "vigyan",   "गणित",         "बीजगणित",      "विज्ञान",        "भौतिकी",     "रसायन",        "जीवविज्ञान",
};
constexpr std::array<std::string_view, 2> kNotScience = {"social", "political"};

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Words of ASCII letters and digits, or of non-ASCII bytes (a Devanagari word
// stays whole); everything else separates.
std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> out;
    std::string word;
    for (const char raw : text) {
        const char c = ascii_lower(raw);
        const bool part = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || static_cast<unsigned char>(c) >= 0x80;
        if (part) {
            word += c;
        } else if (!word.empty()) {
            out.push_back(std::move(word));
            word.clear();
        }
    }
    if (!word.empty()) {
        out.push_back(std::move(word));
    }
    return out;
}

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& list, std::string_view word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

std::string normalised_type(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    text = text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
    std::string out;
    for (const char c : text) {
        out += ascii_lower(c);
    }
    return out;
}

}  // namespace detail

bool is_extractor_type(std::string_view type) {
    return detail::contains(kExtractorTypes, type);
}

std::string extractor_type_list() {
    return fmt::format("{}", fmt::join(kExtractorTypes, ", "));
}

bool is_math_or_science(std::string_view subject) {
    bool science = false;
    for (const auto& word : detail::words(subject)) {
        if (detail::contains(detail::kNotScience, word)) {
            return false;
        }
        science = science || detail::contains(detail::kMathScienceWords, word);
    }
    return science;
}

std::string recommend_extractor(std::string_view subject, std::string_view override_type, const Credentials& found) {
    const std::string chosen = detail::normalised_type(override_type);
    if (is_extractor_type(chosen)) {
        return chosen;
    }
    const bool science = is_math_or_science(subject);
    if (science && found.mathpix) {
        return "mathpix";
    }
    if (!science && found.aws) {
        return "aws";
    }
    if (found.gemini) {
        return "gemini";
    }
    if (found.openai) {
        return "openai";
    }
    return "local";
}

}  // namespace tovrane::ocr
