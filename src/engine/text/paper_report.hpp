// Text report of a processed question paper, laid out from values already rendered as text.
#pragma once

#include <string>
#include <vector>

namespace tovrane::text {

/// One question of the report. An empty reference answer is left out of the report.
struct PaperReportQuestion {
    std::string q_id;
    std::string max_marks;
    std::string text;
    std::string reference_answer;
};

/// The paper as the report shows it. An empty subject or class level is left out.
struct PaperReport {
    std::string subject;
    std::string class_level;
    std::string question_count;
    std::string total_marks;
    std::vector<PaperReportQuestion> questions;
};

/// The whole report, questions numbered from 1 in the order given.
std::string render_paper_report(const PaperReport& report);

}  // namespace tovrane::text
