// Text report of a processed question paper.
#include "engine/text/paper_report.hpp"

#include <fmt/format.h>

#include "engine/text/paper_texts.hpp"

namespace tovrane::text {

std::string render_paper_report(const PaperReport& report) {
    namespace t = paper;
    std::string out = t::kReportHeader;
    if (!report.subject.empty())
        out += fmt::format(fmt::runtime(t::kReportSubject), fmt::arg("subject", report.subject));
    if (!report.class_level.empty())
        out += fmt::format(fmt::runtime(t::kReportClassLevel), fmt::arg("class_level", report.class_level));
    out += fmt::format(fmt::runtime(t::kReportCounts), fmt::arg("count", report.question_count),
                       fmt::arg("total", report.total_marks));
    std::size_t number = 0;
    for (const auto& q : report.questions) {
        out += fmt::format(fmt::runtime(t::kReportQuestion), fmt::arg("number", ++number),
                           fmt::arg("q_id", q.q_id), fmt::arg("max_marks", q.max_marks),
                           fmt::arg("text", q.text));
        if (!q.reference_answer.empty())
            out += fmt::format(fmt::runtime(t::kReportReference),
                               fmt::arg("reference_answer", q.reference_answer));
        out += t::kReportQuestionEnd;
    }
    return out;
}

}  // namespace tovrane::text
