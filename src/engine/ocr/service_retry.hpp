// Cloud page readers: one page's request tried again while the service is throttling or
// busy, a bounded number of times, with waits that end early when the run is abandoned.
#pragma once

#include "engine/constants.hpp"

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tovrane::ocr {

/// A request the service refused or could not answer.
struct ServiceFailure {
    int status = 0;       ///< HTTP status; 0 when the failure came without one
    std::string message;  ///< the service's own words (error code and message), no secrets
    bool busy = false;    ///< throttled or temporarily unavailable: worth trying again
    std::optional<double> retry_after;  ///< seconds the service asked to wait
};

struct RetryPolicy {
    int retries = constants::kCloudRetries;  ///< tries after the first one
    double backoff_seconds = constants::kCloudBackoffSeconds;
    double max_delay_seconds = constants::kCloudMaxDelaySeconds;
};

/// Seconds to wait before retry number `retry` (1-based): the service's Retry-After when it
/// sent one, else the back-off doubled per retry; never negative, never above the maximum.
double retry_delay(const RetryPolicy& policy, int retry, std::optional<double> retry_after);

/// A Retry-After header given in seconds ("2", "0.5"); HTTP dates and junk give nothing.
std::optional<double> parse_retry_after(std::string_view header);

/// "HTTP 429: ThrottlingException: Rate exceeded", or the message alone without a status.
std::string failure_detail(const ServiceFailure& failure);

/// Shared by the readers of one run. Once the run is abandoned (Ctrl-C, or another page
/// failed) nobody waits for a retry any more.
class RunStop {
public:
    void request();
    bool requested();
    /// Abandons the run for `error`; the first error given is the run's failure, whatever
    /// the readers it woke throw afterwards.
    void fail(std::exception_ptr error);
    std::exception_ptr failure();
    /// Waits `seconds` unless the run is abandoned first; false when it was.
    bool wait(double seconds);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
    std::exception_ptr failure_;
};

/// One try at a page: its text, or why the service would not give it.
using Attempt = std::function<std::variant<std::string, ServiceFailure>()>;
/// Waits the given seconds; false when the run was abandoned meanwhile.
using Waiter = std::function<bool(double)>;

/// Runs `attempt` until it gives text, a failure that is not busy, or the retries are
/// spent, waiting between tries. Throws OcrError(failed) naming `service` and `page` with
/// the last failure (and the number of tries when more than one was made).
std::string read_with_retries(std::string_view service, int page, const Attempt& attempt, const RetryPolicy& policy,
                              const Waiter& wait);

}  // namespace tovrane::ocr
