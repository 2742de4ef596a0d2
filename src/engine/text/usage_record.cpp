// Usage figures of one model call: its price, its log record and its console line.
#include "engine/text/usage_record.hpp"

#include <fmt/format.h>

#include "engine/text/model_broker_texts.hpp"

namespace tovrane::text {

namespace texts = tovrane::text::model_broker;
using namespace fmt::literals;

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
    std::string record = fmt::format(texts::kUsageRecord, "task"_a = task, "model"_a = model,
                                     "input"_a = input_tokens, "output"_a = output_tokens,
                                     "total"_a = total_tokens(input_tokens, output_tokens), "cost"_a = cost);
    if (!info.empty()) record += fmt::format(texts::kUsageRecordInfo, "info"_a = info);
    return record;
}

std::string usage_console_line(std::string_view task, std::int64_t input_tokens, std::int64_t output_tokens,
                               double cost) {
    return fmt::format(texts::kUsageConsoleLine, "task"_a = task,
                       "total"_a = total_tokens(input_tokens, output_tokens), "cost"_a = cost);
}

}  // namespace tovrane::text
