#include "engine/text/paper_report.hpp"

#include <gtest/gtest.h>

using tovrane::text::PaperReport;
using tovrane::text::render_paper_report;

TEST(PaperReportTest, FullLayout) {
    PaperReport r{"Science", "Class 8", "2", "7.0",
                  {{"1a", "3.0", "Name {two} gases.", "Oxygen and nitrogen."},
                   {"2", "4.0", "Explain photosynthesis.", ""}}};
    EXPECT_EQ(render_paper_report(r),
              "PROCESSED QUESTION PAPER\n"
              "==================================================\n\n"
              "Subject: Science\n"
              "Class Level: Class 8\n"
              "Total Questions: 2\n"
              "Total Marks: 7.0\n\n"
              "Question 1: 1a\nMarks: 3.0\nText: Name {two} gases.\n"
              "Reference Answer: Oxygen and nitrogen.\n"
              "----------------------------------------\n\n"
              "Question 2: 2\nMarks: 4.0\nText: Explain photosynthesis.\n"
              "----------------------------------------\n\n");
}

TEST(PaperReportTest, EmptySubjectAndClassLevelAreLeftOut) {
    PaperReport r{"", "", "0", "0", {}};
    EXPECT_EQ(render_paper_report(r),
              "PROCESSED QUESTION PAPER\n"
              "==================================================\n\n"
              "Total Questions: 0\n"
              "Total Marks: 0\n\n");
}
