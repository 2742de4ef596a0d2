// Usage figures of one model call: its price, its log record and its console line.
#include "engine/text/usage_record.hpp"

#include <fmt/format.h>

#include "engine/text/broker_texts.hpp"

namespace tovrane::text {

namespace texts = tovrane::text::broker;

namespace {

// Exact, as Python adds the counts: two int64 counts can overflow int64.
__int128 total_tokens(std::int64_t input_tokens, std::int64_t output_tokens) {
    return static_cast<__int128>(input_tokens) + output_tokens;
}

}  // namespace

double call_cost(std::int64_t input_tokens, std::int64_t output_tokens) {
    // Same operations in the same order as the Python expression, so the same double.
    return static_cast<double>(input_tokens) / 1000 * texts::kInputPricePer1k +
           static_cast<double>(output_tokens) / 1000 * texts::kOutputPricePer1k;
}

std::string usage_record(std::string_view task, std::string_view model, std::int64_t input_tokens,
                         std::int64_t output_tokens, double cost, std::string_view info) {
    std::string record = fmt::format(
        fmt::runtime(texts::kUsageRecord), fmt::arg("task", task), fmt::arg("model", model),
        fmt::arg("input", input_tokens), fmt::arg("output", output_tokens),
        fmt::arg("total", total_tokens(input_tokens, output_tokens)), fmt::arg("cost", cost));
    if (!info.empty()) record += fmt::format(fmt::runtime(texts::kUsageRecordInfo), fmt::arg("info", info));
    return record;
}

std::string usage_console_line(std::string_view task, std::int64_t input_tokens, std::int64_t output_tokens,
                               double cost) {
    return fmt::format(fmt::runtime(texts::kUsageConsoleLine), fmt::arg("task", task),
                       fmt::arg("total", total_tokens(input_tokens, output_tokens)), fmt::arg("cost", cost));
}

}  // namespace tovrane::text
