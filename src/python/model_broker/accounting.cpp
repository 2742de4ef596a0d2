// ModelBroker: token counting, the usage log and the running totals.
#include <fmt/format.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "common/errors.hpp"
#include "common/python.hpp"
#include "engine/text/model_broker_texts.hpp"
#include "engine/text/usage_record.hpp"
#include "model_broker/operations.hpp"

namespace tovrane::model_broker {

namespace texts = tovrane::text::model_broker;
using namespace fmt::literals;
using py_util::contains;
using py_util::module_attr;
using py_util::truthy;

namespace {

// ---- Usage lock -----------------------------------------------------------------------------

/// Locks `self`'s usage mutex without holding the GIL while waiting, so a thread that
/// holds the mutex and needs the GIL back can always finish.
class UsageLock {
public:
    explicit UsageLock(py::handle self) : mutex_(self.cast<BrokerState&>().usage_mutex) {
        // Waiting with the GIL held would deadlock against a holder that needs the GIL to
        // finish its record. Coroutines never wait here against each other: they all run on
        // the loop's thread and hold the lock only for one record without awaiting, so the
        // loop is held up at most for one record of a worker thread.
        if (mutex_.try_lock()) return;
        py::gil_scoped_release nogil;
        mutex_.lock();
    }
    ~UsageLock() { mutex_.unlock(); }
    UsageLock(const UsageLock&) = delete;
    UsageLock& operator=(const UsageLock&) = delete;

private:
    std::recursive_mutex& mutex_;
};

/// self.<name> = self.<name> + amount, with Python's addition.
void add_to_attr(py::handle self, const char* name, const py::object& amount) {
    self.attr(name) = py::object(self.attr(name)) + amount;
}

}  // namespace

// ---- Usage log ------------------------------------------------------------------------------

namespace {

/// Set on a broker's handler when the broker goes while its handler is still attached:
/// the broker that detaches it then closes it.
constexpr const char* kOrphanMark = "_tovrane_orphaned";

}  // namespace

BrokerState::~BrokerState() {
    if (!log_handler || !Py_IsInitialized()) return;
    try {
        if (truthy(module_attr("sys", "is_finalizing")())) return;  // logging closes it at exit
        py::object logger = module_attr("logging", "getLogger")(py_util::to_py(texts::kLoggerName));
        if (contains(logger.attr("handlers"), log_handler)) {
            py::setattr(log_handler, kOrphanMark, py::bool_(true));  // other brokers still write through it
        } else {
            log_handler.attr("close")();
        }
    } catch (py::error_already_set& err) {
        err.discard_as_unraisable("ModelBroker closing its usage log");
    } catch (...) {
    }
}

void setup_token_logger(py::object self) {
    py::module_ logging = py::module_::import("logging");
    py::object logger = logging.attr("getLogger")(py_util::to_py(texts::kLoggerName));
    logger.attr("setLevel")(logging.attr("INFO"));
    // Detached, not closed: an earlier broker may still hold its handler. One whose broker
    // is gone has no writer left once detached, and would leave its file open.
    // A copy: py::list() of a list is that same list, which removeHandler shortens.
    for (py::handle handler : py_util::snapshot(logger.attr("handlers"))) {
        logger.attr("removeHandler")(handler);
        if (truthy(py::getattr(handler, kOrphanMark, py::none()))) handler.attr("close")();
    }

    py::object handler = logging.attr("FileHandler")(self.attr("token_log_file"), py::arg("mode") = "a",
                                                     py::arg("encoding") = "utf-8");
    handler.attr("setLevel")(logging.attr("INFO"));
    handler.attr("setFormatter")(
        logging.attr("Formatter")(py_util::to_py(texts::kLogFormat), py::arg("datefmt") = py_util::to_py(texts::kLogDateFormat)));
    logger.attr("addHandler")(handler);
    self.cast<BrokerState&>().log_handler = handler;
    self.attr("token_logger") = logger;

    self.attr("log_to_file")(py_util::to_py(texts::kSessionBanner), "info");
}

void log_to_file(py::object self, py::object msg, py::object logger_level) {
    if (!py::bool_(self.attr("is_logging_enabled"))) return;
    std::string level = py::str(logger_level.attr("lower")());
    py::object logger = self.attr("token_logger");
    const char* method = nullptr;
    if (level == "debug") method = "debug";
    else if (level == "info") method = "info";
    else if (level == "warning" || level == "warn") method = "warning";
    else if (level == "error") method = "error";
    else if (level == "critical") method = "critical";

    if (method != nullptr) {
        logger.attr(method)(msg);
    } else {
        logger.attr("info")(fmt::format(texts::kUnknownLevelMessage,
                                        "level"_a = py_util::str(logger_level.attr("upper")()),
                                        "msg"_a = py_util::str(msg)));
    }
}

// ---- Token counts ---------------------------------------------------------------------------

py::object count_tokens(py::object self, py::object text) {
    try {
        return py::int_(py::len(self.attr("encoding").attr("encode")(text)));
    } catch (py::error_already_set& err) {
        // tiktoken refuses special-token strings; anything ordinary falls back to the estimate.
        if (!py_util::is_ordinary(err)) throw;
    }
    return py::int_(py::len(text) / 4);
}

py::object count_message_tokens(py::object self, py::object messages) {
    py::object count_tokens = self.attr("_count_tokens");
    py::object total = py::int_(0);
    for (py::handle message : messages) {
        total = total + py::int_(4);
        total = total + count_tokens(message.attr("get")("content", ""));
        if (message.contains("name")) total = total + py::int_(1);
    }
    return total + py::int_(2);
}

// ---- Running totals -------------------------------------------------------------------------

void log_token_usage(py::object self, const std::string& task_name, std::int64_t input_tokens,
                     std::int64_t output_tokens, const std::string& model,
                     const std::string& additional_info) {
    const double cost = text::call_cost(input_tokens, output_tokens);
    UsageLock lock(self);
    add_to_attr(self, "total_input_tokens", py::int_(input_tokens));
    add_to_attr(self, "total_output_tokens", py::int_(output_tokens));
    add_to_attr(self, "total_cost", py::float_(cost));

    self.attr("log_to_file")(
        text::usage_record(task_name, model, input_tokens, output_tokens, cost, additional_info), "info");
    py_util::print_line(text::usage_console_line(task_name, input_tokens, output_tokens, cost));
}

py::dict get_total_usage(py::object self) {
    py::object input, output, cost;
    {
        UsageLock lock(self);
        input = self.attr("total_input_tokens");
        output = self.attr("total_output_tokens");
        cost = self.attr("total_cost");
    }
    py::dict usage;
    usage["total_input_tokens"] = input;
    usage["total_output_tokens"] = output;
    usage["total_tokens"] = input + output;
    usage["total_cost"] = cost;
    usage["log_file"] = self.attr("token_log_file");
    return usage;
}

}  // namespace tovrane::model_broker
