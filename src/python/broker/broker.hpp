// The ModelBroker class: its native state and the registration of its parts.
#pragma once

#include <pybind11/pybind11.h>

#include <mutex>
#include <string_view>

namespace tovrane::broker {

namespace py = pybind11;

/// Native state behind every ModelBroker instance. Everything a host or a test may read
/// or replace lives in the instance __dict__; only the usage lock lives here.
struct BrokerState {
    /// Guards the running totals and keeps each usage record whole. Recursive so that a
    /// replaced `log_to_file` that records usage itself cannot deadlock its own thread.
    std::recursive_mutex usage_mutex;
};

using BrokerClass = py::class_<BrokerState>;

/// A Python str of one of the exact texts.
inline py::str to_py(std::string_view text) { return py::str(text.data(), text.size()); }

/// Locks `self`'s usage mutex without holding the GIL while waiting, so a thread that
/// holds the mutex and needs the GIL back can always finish.
class UsageLock {
public:
    explicit UsageLock(py::handle self);
    ~UsageLock();
    UsageLock(const UsageLock&) = delete;
    UsageLock& operator=(const UsageLock&) = delete;

private:
    std::recursive_mutex& mutex_;
};

/// tiktoken's encoding for `model`, else the fallback encoding. Makes the rank files that
/// ship with the package available to tiktoken first, so no download is attempted.
py::object choose_encoding(py::handle model);

/// Module attributes: the pydantic response models.
void add_response_models(py::module_& m);

/// Constructor and the two call paths.
void bind_client(BrokerClass& cls);

/// Token counting, the usage log and the running totals.
void bind_accounting(BrokerClass& cls);

}  // namespace tovrane::broker
