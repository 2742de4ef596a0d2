// Cloud page readers: bounded retries of throttled requests and their waits.
#include "engine/ocr/service_retry.hpp"

#include "engine/ocr/errors.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tovrane::ocr {
namespace {

ServiceFailure busy(std::optional<double> retry_after = std::nullopt) {
    return ServiceFailure{429, "ThrottlingException: Rate exceeded", true, retry_after};
}

/// Answers from a script, recording the waits asked for.
struct Script {
    std::deque<std::variant<std::string, ServiceFailure>> answers;
    std::vector<double> waits;
    int calls = 0;
    bool abandon = false;

    Attempt attempt() {
        return [this] {
            ++calls;
            auto next = answers.front();
            answers.pop_front();
            return next;
        };
    }
    Waiter waiter() {
        return [this](double seconds) {
            waits.push_back(seconds);
            return !abandon;
        };
    }
};

std::string failure_of(Script& script, const RetryPolicy& policy = {}) {
    try {
        read_with_retries("Gemini", 3, script.attempt(), policy, script.waiter());
    } catch (const OcrError& error) {
        EXPECT_EQ(error.kind(), ErrorKind::failed);
        return error.what();
    }
    ADD_FAILURE() << "no error";
    return {};
}

TEST(ServiceRetry, BusyAnswersAreRetriedWithDoublingWaits) {
    Script script;
    script.answers = {busy(), busy(), std::string("text")};
    EXPECT_EQ(read_with_retries("Gemini", 1, script.attempt(), RetryPolicy{}, script.waiter()), "text");
    EXPECT_EQ(script.calls, 3);
    EXPECT_EQ(script.waits, (std::vector<double>{1.0, 2.0}));
}

TEST(ServiceRetry, RetriesAreBoundedAndTheLastAnswerIsReported) {
    Script script;
    script.answers = {busy(), busy(), busy(), busy(), std::string("never asked")};
    EXPECT_EQ(failure_of(script),
              "Gemini OCR of page 3 failed after 4 attempts: HTTP 429: ThrottlingException: Rate exceeded");
    EXPECT_EQ(script.calls, 4);
    EXPECT_EQ(script.waits, (std::vector<double>{1.0, 2.0, 4.0}));
}

TEST(ServiceRetry, RefusalsThatAreNotBusyFailAtOnce) {
    Script script;
    script.answers = {ServiceFailure{401, "UNAUTHENTICATED: API key not valid", false, 5.0}};
    EXPECT_EQ(failure_of(script), "Gemini OCR of page 3 failed: HTTP 401: UNAUTHENTICATED: API key not valid");
    EXPECT_EQ(script.calls, 1);
    EXPECT_TRUE(script.waits.empty());
}

TEST(ServiceRetry, FailureWithoutStatusShowsTheMessageAlone) {
    Script script;
    script.answers = {ServiceFailure{0, "ConnectError: connection refused", false, {}}};
    EXPECT_EQ(failure_of(script), "Gemini OCR of page 3 failed: ConnectError: connection refused");
}

TEST(ServiceRetry, ServiceAskedWaitIsHonouredWithinTheCap) {
    Script script;
    script.answers = {busy(0.25), busy(1e9), busy(-4.0), std::string("ok")};
    EXPECT_EQ(read_with_retries("Mathpix", 1, script.attempt(), RetryPolicy{}, script.waiter()), "ok");
    EXPECT_EQ(script.waits, (std::vector<double>{0.25, 30.0, 0.0}));
}

TEST(ServiceRetry, AbandonedRunStopsRetrying) {
    Script script;
    script.abandon = true;
    script.answers = {busy(), std::string("not asked")};
    EXPECT_EQ(failure_of(script), "Gemini OCR of page 3 failed: HTTP 429: ThrottlingException: Rate exceeded");
    EXPECT_EQ(script.calls, 1);
}

TEST(ServiceRetry, NoRetriesWhenThePolicyAllowsNone) {
    Script script;
    script.answers = {busy()};
    RetryPolicy policy;
    policy.retries = 0;
    failure_of(script, policy);
    EXPECT_EQ(script.calls, 1);
}

TEST(ServiceRetry, RetryAfterHeaderInSeconds) {
    EXPECT_EQ(parse_retry_after("2"), 2.0);
    EXPECT_EQ(parse_retry_after(" 0.5 "), 0.5);
    EXPECT_EQ(parse_retry_after("0"), 0.0);
    for (const char* junk : {"", "soon", "-1", "2s", "Wed, 21 Oct 2015 07:28:00 GMT", "nan", "inf"}) {
        EXPECT_FALSE(parse_retry_after(junk).has_value()) << junk;
    }
}

TEST(RunStop, WaitEndsEarlyOnceTheRunIsAbandoned) {
    RunStop stop;
    EXPECT_TRUE(stop.wait(0.001));
    const auto started = std::chrono::steady_clock::now();
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop.request();
    });
    EXPECT_FALSE(stop.wait(60.0));
    other.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_TRUE(stop.requested());
    EXPECT_FALSE(stop.wait(5.0));
}

TEST(RunStop, FirstFailureIsKeptAndEndsWaits) {
    RunStop stop;
    EXPECT_EQ(stop.failure(), nullptr);
    stop.fail(std::make_exception_ptr(std::runtime_error("page 2")));
    stop.fail(std::make_exception_ptr(std::runtime_error("page 1, woken")));
    EXPECT_FALSE(stop.wait(60.0));
    try {
        std::rethrow_exception(stop.failure());
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "page 2");
    }
}

}  // namespace
}  // namespace tovrane::ocr
