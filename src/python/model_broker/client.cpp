// ModelBroker: the two call paths to the model service and the rate limiter.
#include <fmt/format.h>

#include <string>

#include "common/errors.hpp"
#include "common/python.hpp"
#include "engine/text/model_broker_texts.hpp"
#include "model_broker/operations.hpp"

namespace tovrane::model_broker {

namespace texts = tovrane::text::model_broker;
using namespace fmt::literals;
using namespace py_util;

namespace {

// ---- Blocking call path ---------------------------------------------------------------------

/// `client.beta.chat.completions.parse`; releases that moved it keep it at `chat.completions`.
py::object parse_operation(py::handle client) {
    py::object chat;
    try {
        chat = client.attr("beta").attr("chat");
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_AttributeError)) throw;
        chat = client.attr("chat");
    }
    return chat.attr("completions").attr("parse");
}

/// Output tokens and input tokens of a successful call: the service's figures when it
/// sent them, else the estimate and the count of the answer text.
py::object output_tokens_of(py::handle self, py::handle response, py::object& input_tokens) {
    py::object usage = py::none();
    try {
        usage = response.attr("usage");
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_AttributeError)) throw;  // a response without the member
    }
    if (py::bool_(usage)) {
        py::object output_tokens = usage.attr("completion_tokens");
        input_tokens = usage.attr("prompt_tokens");
        return output_tokens;
    }
    py::object content = response.attr("choices")[py::int_(0)].attr("message").attr("content");
    if (!py::bool_(content)) content = py::str("");
    return self.attr("_count_tokens")(content);
}

/// `parse(model=self.model, messages=..., response_format=...)` on `client`: the response,
/// or on the async client the awaitable of it.
py::object request(py::handle self, py::handle client, py::handle messages, py::handle response_format) {
    return parse_operation(client)(py::arg("model") = self.attr("model"), py::arg("messages") = messages,
                                   py::arg("response_format") = response_format);
}

/// Logs the usage of a call that succeeded; `input_tokens` becomes the service's own count.
void log_call(py::handle self, const std::string& task_name, py::object& input_tokens, py::handle response,
              const std::string& additional_info) {
    py::object output_tokens = output_tokens_of(self, response, input_tokens);
    self.attr("_log_token_usage")(task_name, input_tokens, output_tokens, self.attr("model"), additional_info);
}

void log_failed_call(py::handle self, const std::string& task_name, py::handle input_tokens,
                     const py::error_already_set& err) {
    self.attr("_log_token_usage")(task_name + std::string(texts::kFailedTaskSuffix), input_tokens, 0,
                                  self.attr("model"),
                                  std::string(texts::kFailedInfoPrefix) + error_text(err));
}

/// Refuses a prompt longer than the broker's model takes before anything is sent; models
/// the table does not know, and counts a host's own counter gives as other than an int,
/// are let through.
void check_prompt_fits(py::handle self, const std::string& task_name, const py::object& input_tokens) {
    py::object model = self.attr("model");
    if (!PyUnicode_Check(model.ptr()) || !PyLong_Check(input_tokens.ptr())) return;
    const std::string name = str_lossless(model);
    const texts::ContextWindow* window = texts::context_window(name);
    if (window == nullptr) return;
    const long long limit = window->tokens - window->output_tokens;
    if (input_tokens <= py::int_(limit)) return;
    raise(PyExc_ValueError, fmt::format(texts::kPromptTooLong, "task"_a = task_name, "tokens"_a = str(input_tokens),
                                        "limit"_a = limit, "model"_a = name, "window"_a = window->tokens,
                                        "output"_a = window->output_tokens));
}

}  // namespace

py::object make_api_call(py::object self, const std::string& task_name, py::object messages,
                         py::object response_format, const std::string& additional_info) {
    py::object input_tokens = self.attr("_count_message_tokens")(messages);
    check_prompt_fits(self, task_name, input_tokens);
    try {
        BrokerState* state = state_of(self);
        py::object response;
        {
            // While the service is waited for, an interrupted batch may cut the call short.
            const BlockingCalls::Scope in_call(state != nullptr ? &state->calls : nullptr);
            response = request(self, self.attr("client"), messages, response_format);
        }
        log_call(self, task_name, input_tokens, response, additional_info);
        return response;
    } catch (py::error_already_set& err) {
        if (!is_ordinary(err)) throw;
        log_failed_call(self, task_name, input_tokens, err);
        throw;
    }
}

// ---- Asynchronous call path -----------------------------------------------------------------

namespace {

/// Gives the permit back however the frame ends: return, error, cancellation or close().
class Permit {
public:
    explicit Permit(py::object semaphore) : semaphore_(std::move(semaphore)) {}
    Permit(const Permit&) = delete;
    Permit& operator=(const Permit&) = delete;
    ~Permit() {
        try {
            semaphore_.attr("release")();
        } catch (py::error_already_set& err) {
            err.discard_as_unraisable("ModelBroker releasing its request permit");
        }
    }

private:
    py::object semaphore_;
};

/// Says why nothing happens for a while: INFO on the broker's logger, the wait in seconds.
void log_rate_wait(py::handle self, const py::object& wait_time) {
    const std::string message = fmt::format(texts::kRateLimitWait, "limit"_a = str(self.attr("requests_per_minute")),
                                            "seconds"_a = py::float_(wait_time).cast<double>());
    module_attr("logging", "getLogger")(to_py(texts::kBrokerLoggerName)).attr("info")(message);
}

}  // namespace

/// Sliding one-minute window over the start times of asynchronous calls. Runs on the
/// loop's thread without interruption except across the one sleep, so it needs no lock.
pyco::VoidTask enforce_rate_limit(py::object self) {
    const py::object window = py::int_(texts::kRateWindowSeconds);
    py::object current_time = module_attr("time", "time")();

    py::list recent;
    for (py::handle ts : py::object(self.attr("_rate_limit_timestamps"))) {
        if (current_time - ts < window) recent.append(ts);
    }
    self.attr("_rate_limit_timestamps") = recent;

    if (py::int_(py::len(recent)) >= py::object(self.attr("requests_per_minute"))) {
        py::object oldest = module_attr("builtins", "min")(recent);
        py::object wait_time = window - (current_time - oldest);
        if (wait_time > py::float_(texts::kRateWaitWorthLogging)) log_rate_wait(self, wait_time);
        if (wait_time > py::int_(0)) co_await module_attr("asyncio", "sleep")(wait_time);
    }
    // The start time taken before any sleep, into whatever list the attribute holds now.
    self.attr("_rate_limit_timestamps").attr("append")(current_time);
}

// ---- One async client per event loop --------------------------------------------------------

namespace {

/// The official async client's pooled connections belong to the loop that opened them: a
/// later loop reusing them fails ("Event loop is closed"), and a loop that ends leaves
/// their sockets open. So every asyncio loop gets a copy of the client with a pool of its
/// own, closed when that loop shuts down. The loop learns of it through its
/// first-iteration hook, as it learns of an async generator: `shutdown_asyncgens`, which
/// asyncio.run, asyncio.Runner and the sync batch wrappers call before closing a loop,
/// then awaits `aclose()`.
struct LoopClient {
    py::object base;    ///< the broker's `async_client` it was copied from
    py::object client;  ///< the copy the calls on that loop use
    bool closed = false;
};

pyco::VoidTask close_loop_client(py::object entry) {
    auto& loop_client = entry.cast<LoopClient&>();
    if (loop_client.closed) co_return;
    loop_client.closed = true;
    co_await loop_client.client.attr("close")();
}

/// Event loop -> its LoopClient entries, one per `async_client` used on it. Held for the
/// process, not by a broker: a broker may go before its loop, whose shutdown must still
/// find the copy to close. Never freed, so it outlives every loop.
py::object& loop_clients() {
    static auto* registry = new py::object(module_attr("weakref", "WeakKeyDictionary")());
    return *registry;
}

/// The TLS context the per-loop clients share, made once by the client library's HTTP
/// package as its default: loading the certificate store costs tens of milliseconds, a
/// price each sync batch would pay again. None when the package offers no way to make it;
/// each client then makes its own.
py::object shared_tls_context() {
    static auto* context = new py::object([] {
        py::object made = py::none();
        ordinary_error([&] {
            for (py::handle base : py::object(module_attr("openai", "DefaultAsyncHttpxClient").attr("__mro__"))) {
                if (py::str(base.attr("__name__")).cast<std::string>() != "AsyncClient") continue;
                std::string package = py::str(base.attr("__module__"));
                package = package.substr(0, package.find('.'));
                made = py::module_::import(package.c_str()).attr("create_ssl_context")();
                return;
            }
        });
        return made;
    }());
    return *context;
}

/// A connection pool for one loop, as the client library makes it by default.
py::object new_pool() {
    py::object pool_type = module_attr("openai", "DefaultAsyncHttpxClient");
    py::object context = shared_tls_context();
    return context.is_none() ? pool_type() : pool_type(py::arg("verify") = context);
}

/// The async client for a call on the running loop: the broker's `async_client` itself
/// when it is not the official client (a host's or a test's stand-in) or when the loop
/// cannot tell us it shuts down; else that loop's own copy of it.
py::object async_client_for_loop(py::handle self) {
    py::object base = self.attr("async_client");
    if (!py::isinstance(base, module_attr("openai", "AsyncOpenAI"))) return base;
    py::object loop = module_attr("asyncio", "get_running_loop")();
    py::object firstiter = module_attr("sys", "get_asyncgen_hooks")().attr("firstiter");
    if (!py::getattr(firstiter, "__self__", py::none()).is(loop)) return base;

    py::object entries = loop_clients().attr("get")(loop);
    if (entries.is_none()) {
        entries = py::list();
        loop_clients()[loop] = entries;
    }
    for (py::handle entry : entries) {
        auto& known = entry.cast<LoopClient&>();
        if (!known.base.is(base)) continue;
        // Once the loop is shutting down there is nothing left to pool for.
        return known.closed ? base : known.client;
    }
    py::object made = py::cast(LoopClient{base, base.attr("copy")(py::arg("http_client") = new_pool())});
    firstiter(made);
    entries.attr("append")(made);
    return made.cast<LoopClient&>().client;
}

}  // namespace

void add_loop_client_type(py::handle broker_class) {
    py::class_<LoopClient>(broker_class, "_LoopClient", "The async client copy of one event loop.")
        .def(
            "aclose", [](py::object self) { return close_loop_client(std::move(self)); },
            "aclose() -> Coroutine\n\nCloses the copy's connections; the loop awaits it as it shuts down.")
        .def_property_readonly(
            "client", [](const LoopClient& c) { return c.client; }, "The copy the calls on that loop use.");
}

pyco::Task make_api_call_async(py::object self, std::string task_name, py::object messages,
                               py::object response_format, std::string additional_info) {
    // Counted first: a prompt refused as too long takes neither a permit nor a place in
    // the rate window.
    py::object input_tokens = self.attr("_count_message_tokens")(messages);
    check_prompt_fits(self, task_name, input_tokens);
    // The semaphore the attribute holds now; batch runners swap it per event loop.
    py::object semaphore = self.attr("_request_semaphore");
    co_await semaphore.attr("acquire")();
    Permit permit(semaphore);
    co_await self.attr("_enforce_rate_limit")();

    try {
        py::object response = co_await request(self, async_client_for_loop(self), messages, response_format);
        log_call(self, task_name, input_tokens, response, additional_info);
        co_return response;
    } catch (py::error_already_set& err) {
        if (!is_ordinary(err)) throw;
        log_failed_call(self, task_name, input_tokens, err);
        throw;
    }
}

}  // namespace tovrane::model_broker
