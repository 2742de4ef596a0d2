// Text report of a processed answersheet, built from values already rendered as text.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tovrane::text {

/// Head of the report: what the paper is and how much of it was answered.
struct SheetReportHeader {
    std::string subject;
    std::string class_level;
    std::string total_questions;
    std::string attempted_questions;
};

/// The student's answer to one question, with its optional evaluation lines.
struct SheetReportAnswer {
    std::string pages;
    std::string text;
    /// Both set when the answer carries an evaluation record.
    std::optional<std::string> awarded_marks;
    std::optional<std::string> total_marks;
    std::optional<std::string> feedback;
};

/// One question of the paper; `answer` is absent when the student did not attempt it.
struct SheetReportQuestion {
    std::string q_id;
    std::string max_marks;
    std::string question_text;
    std::optional<SheetReportAnswer> answer;
};

/// The whole report, UTF-8.
std::string render_sheet_report(const SheetReportHeader& header,
                                const std::vector<SheetReportQuestion>& questions);

}  // namespace tovrane::text
