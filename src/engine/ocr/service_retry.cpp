// Cloud page readers: bounded retries of a throttled page request.
#include "engine/ocr/service_retry.hpp"

#include "engine/ocr/errors.hpp"
#include "engine/text/extractor_client_texts.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>

namespace tovrane::ocr {

namespace texts = tovrane::text::extractor_client;
using namespace fmt::literals;

double retry_delay(const RetryPolicy& policy, int retry, std::optional<double> retry_after) {
    double delay = 0.0;
    if (retry_after && std::isfinite(*retry_after)) {
        delay = *retry_after;
    } else {
        delay = policy.backoff_seconds * std::ldexp(1.0, std::clamp(retry, 1, 60) - 1);
    }
    return std::clamp(delay, 0.0, policy.max_delay_seconds);
}

std::optional<double> parse_retry_after(std::string_view header) {
    while (!header.empty() && (header.front() == ' ' || header.front() == '\t')) header.remove_prefix(1);
    while (!header.empty() && (header.back() == ' ' || header.back() == '\t')) header.remove_suffix(1);
    if (header.empty()) return std::nullopt;
    double seconds = 0.0;
    const auto [end, error] = std::from_chars(header.data(), header.data() + header.size(), seconds);
    if (error != std::errc() || end != header.data() + header.size() || !std::isfinite(seconds) || seconds < 0) {
        return std::nullopt;
    }
    return seconds;
}

std::string failure_detail(const ServiceFailure& failure) {
    if (failure.status <= 0) return failure.message;
    return fmt::format(texts::kServiceStatus, "status"_a = failure.status, "message"_a = failure.message);
}

void RunStop::request() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
}

void RunStop::fail(std::exception_ptr error) {
    {
        const std::lock_guard lock(mutex_);
        if (!failure_) failure_ = std::move(error);
        stop_ = true;
    }
    changed_.notify_all();
}

std::exception_ptr RunStop::failure() {
    const std::lock_guard lock(mutex_);
    return failure_;
}

bool RunStop::requested() {
    const std::lock_guard lock(mutex_);
    return stop_;
}

bool RunStop::wait(double seconds) {
    std::unique_lock lock(mutex_);
    const auto span = std::chrono::duration<double>(std::max(seconds, 0.0));
    changed_.wait_for(lock, std::chrono::duration_cast<std::chrono::steady_clock::duration>(span),
                      [this] { return stop_; });
    return !stop_;
}

std::string read_with_retries(std::string_view service, int page, const Attempt& attempt, const RetryPolicy& policy,
                              const Waiter& wait) {
    const int tries = 1 + std::max(policy.retries, 0);
    for (int made = 1;; ++made) {
        auto outcome = attempt();
        if (auto* text = std::get_if<std::string>(&outcome)) return std::move(*text);
        const auto& failure = std::get<ServiceFailure>(outcome);
        const bool again = failure.busy && made < tries;
        if (again && wait(retry_delay(policy, made, failure.retry_after))) continue;
        if (made == 1) {
            throw OcrError(ErrorKind::failed, fmt::format(texts::kServiceFailed, "service"_a = service, "page"_a = page,
                                                          "detail"_a = failure_detail(failure)));
        }
        throw OcrError(ErrorKind::failed,
                       fmt::format(texts::kServiceGaveUp, "service"_a = service, "page"_a = page, "attempts"_a = made,
                                   "detail"_a = failure_detail(failure)));
    }
}

}  // namespace tovrane::ocr
