#include "engine/text/usage_record.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "engine/text/model_broker_texts.hpp"

using tovrane::text::call_cost;
using tovrane::text::usage_console_line;
using tovrane::text::usage_record;

TEST(UsageRecord, LayoutWithoutInfo) {
    EXPECT_EQ(usage_record("generate_rubric", "gpt-5-mini-2025-08-07", 1200, 300, call_cost(1200, 300), ""),
              "\n\n*********************\nTASK: generate_rubric | \nMODEL: gpt-5-mini-2025-08-07 | \n"
              "INPUT_TOKENS: 1200 | \nOUTPUT_TOKENS: 300 | \nTOTAL_TOKENS: 1500 | \nCOST: $0.000360");
}

TEST(UsageRecord, InfoAppendedAfterCost) {
    EXPECT_EQ(usage_record("parse_answersheet_FAILED", "m", 7, 0, call_cost(7, 0), "Error: boom {x}"),
              "\n\n*********************\nTASK: parse_answersheet_FAILED | \nMODEL: m | \n"
              "INPUT_TOKENS: 7 | \nOUTPUT_TOKENS: 0 | \nTOTAL_TOKENS: 7 | \nCOST: $0.000001"
              " | INFO: Error: boom {x}");
}

TEST(UsageRecord, CostMatchesPythonArithmetic) {
    // Values printed by CPython for the same expression.
    EXPECT_EQ(call_cost(1000, 1000), 0.00015 + 0.0006);
    EXPECT_EQ(call_cost(0, 0), 0.0);
    EXPECT_DOUBLE_EQ(call_cost(1200, 300), 0.00036);
    EXPECT_EQ(usage_console_line("t", 1000, 1000, call_cost(1000, 1000)), "-> t: 2000 tokens ($0.000750)");
    // Rounding at the sixth decimal follows the binary value: 3333 output tokens cost 0.0019998.
    EXPECT_EQ(usage_console_line("t", 0, 3333, call_cost(0, 3333)), "-> t: 3333 tokens ($0.002000)");
}

// Counts come from the service's reply; their sum must not wrap (nor be undefined).
TEST(UsageRecord, TotalBeyondInt64IsExact) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    EXPECT_NE(usage_record("t", "m", kMax, 1, 0.0, "").find("TOTAL_TOKENS: 9223372036854775808 | "), std::string::npos);
    EXPECT_NE(usage_record("t", "m", kMin, -1, 0.0, "").find("TOTAL_TOKENS: -9223372036854775809 | "),
              std::string::npos);
    EXPECT_EQ(usage_console_line("t", kMax, kMax, 0.0), "-> t: 18446744073709551614 tokens ($0.000000)");
}

TEST(UsageRecord, BannerHasTwentyOneEqualsPerRule) {
    EXPECT_EQ(tovrane::text::model_broker::kSessionBanner,
              "\n\n=====================\nNEW MODEL BROKER SESSION STARTED\n=====================\n");
}
