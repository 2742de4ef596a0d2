// Usage figures of one model call: its price, its log record and its console line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tovrane::text {

/// Dollars for one call, computed as input / 1000 * price + output / 1000 * price.
double call_cost(std::int64_t input_tokens, std::int64_t output_tokens);

/// The usage log message of one call; `info` is appended only when not empty.
std::string usage_record(std::string_view task, std::string_view model, std::int64_t input_tokens,
                         std::int64_t output_tokens, double cost, std::string_view info);

/// "-> task: N tokens ($cost)", N = input + output tokens.
std::string usage_console_line(std::string_view task, std::int64_t input_tokens, std::int64_t output_tokens,
                               double cost);

}  // namespace tovrane::text
