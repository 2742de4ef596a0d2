// Test-only host for the batch methods until the broker class exists: a plain class
// with instance attributes, onto which the batches are bound like on the broker.
#include "model_broker/batches.cpp"

namespace py = pybind11;

PYBIND11_MODULE(batch_host, m) {
    py::object host = py::module_::import("types").attr("SimpleNamespace");
    py::object cls = py::module_::import("builtins").attr("type")("BatchHost", py::make_tuple(host), py::dict());
    tovrane::broker::bind_batches(cls);
    m.attr("BatchHost") = cls;
}
