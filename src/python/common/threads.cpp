// The engine's worker pool as Python code needs it.
#include "common/threads.hpp"

namespace tovrane::py_util {

concurrency::Hooks python_job_hooks() {
    concurrency::Hooks hooks;
    hooks.worker = [](const std::function<void()>& loop) {
        pybind11::gil_scoped_acquire thread_state;
        pybind11::gil_scoped_release between_jobs;
        loop();
    };
    hooks.job = [](const std::function<void()>& job) {
        pybind11::gil_scoped_acquire gil;
        job();
    };
    // Workers need the GIL to end their current job, so the owner gives it up to wait.
    hooks.wait = [](const std::function<void()>& wait) {
        if (PyGILState_Check()) {
            pybind11::gil_scoped_release unlocked;
            wait();
        } else {
            wait();
        }
    };
    return hooks;
}

SignalWatch::SignalWatch() {
    pybind11::module_ threading = pybind11::module_::import("threading");
    main_thread_ = threading.attr("current_thread")().is(threading.attr("main_thread")());
}

std::function<bool()> SignalWatch::check() {
    if (!main_thread_) return {};
    return [this] {
        pybind11::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() == 0) return false;
        error_ = std::make_exception_ptr(pybind11::error_already_set());
        return true;
    };
}

std::exception_ptr SignalWatch::interruption() const {
    if (error_) return error_;
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return std::make_exception_ptr(pybind11::error_already_set());
}

}  // namespace tovrane::py_util
