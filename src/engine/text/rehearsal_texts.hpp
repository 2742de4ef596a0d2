// Texts of the offline rehearsal model, each in one place.
#pragma once

#include <array>
#include <string_view>

namespace tovrane::text::rehearsal {

/// First line of a rehearsal run: nobody may take its marks for a grading.
inline constexpr std::string_view kNotice =
    "REHEARSAL: no language model was used. Questions, rubrics, reference answers and marks "
    "come from simple text rules on this machine; the marks are a rehearsal, not a grading.";

/// Opens every reference answer the rehearsal writes; evaluation ignores it when counting words.
inline constexpr std::string_view kReferencePrefix =
    "Rehearsal reference answer (no language model was used). Key words: ";

/// A rubric criterion for one point of the question.
inline constexpr std::string_view kCoversPoint = "Covers: {point}";
/// Criteria for the marks left once every point of the question has one.
inline constexpr std::array<std::string_view, 3> kExtraCriteria = {
    "Uses the correct subject terms",
    "Supports the answer with a reason, an example or working",
    "Presents the answer clearly and completely",
};
inline constexpr std::string_view kFurtherDetail = "Gives further correct detail ({n})";

/// Feedback: the score sentence, then one of the three closing sentences.
inline constexpr std::string_view kFeedbackScore =
    "Rehearsal score, no language model read your answer: you used {used} of the {total} key "
    "words of the reference answer, so {met} of {count} criteria count as met.";
inline constexpr std::string_view kFeedbackAllMet = "You met all the requirements of this rehearsal check.";
inline constexpr std::string_view kFeedbackNoneMet =
    "Use the key terms of the question in your answer to show what you know.";
inline constexpr std::string_view kFeedbackSomeMet = "To gain the rest, cover more of the points the question asks for.";

/// Identifier of an answer whose margin label matches no question of the paper.
inline constexpr std::string_view kUnknownId = "Unknown";

// Failures, reported to the client as a bad request.
inline constexpr std::string_view kUnknownSchema =
    "rehearsal model: no rule answers the response format '{name}'; it answers the question paper, "
    "rubric, reference answer, answersheet and evaluation requests of tovrane_core";
inline constexpr std::string_view kUnknownPrompt =
    "rehearsal model: the prompt of this {name} request is not one of tovrane_core's prompts";
inline constexpr std::string_view kNoUserMessage = "rehearsal model: the request has no user message";
/// A message handed to the rules that is not a (role, content) pair.
inline constexpr std::string_view kNotAPair = "each message is a (role, content) pair";

}  // namespace tovrane::text::rehearsal
