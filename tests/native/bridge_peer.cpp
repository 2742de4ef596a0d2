// Second test-only module linking its own copy of the asyncio bridge: objects made by
// either copy must share one Python type and drive each other's frames.
#include <pybind11/pybind11.h>

#include "common/pyco.hpp"

namespace py = pybind11;
namespace pyco = tovrane::pyco;

namespace {

pyco::Task await_value(py::object awaitable) { co_return co_await std::move(awaitable); }

}  // namespace

PYBIND11_MODULE(bridge_peer, m) {
    m.def("await_value", &await_value);
    m.def("coroutine_type", &pyco::coroutine_type);
}
