// Python module tovrane_core.model_broker: the ModelBroker class and the response models.
#include <pybind11/pybind11.h>

#include "broker/broker.hpp"
#include "model_broker/batches.hpp"
#include "model_broker/operations.hpp"

namespace broker = tovrane::broker;
namespace py = pybind11;

PYBIND11_MODULE(model_broker, m) {
    m.doc() = "The language-model service client: calls, rate limits, token accounting, response models.";
    // The service client and the tokenizer load with the module, as a Python module's
    // imports would; construction then pays only for the objects it makes.
    py::module_::import("openai");
    py::module_::import("tiktoken");
    broker::add_response_models(m);

    broker::BrokerClass cls(m, "ModelBroker", py::dynamic_attr());
    broker::bind_client(cls);
    broker::bind_accounting(cls);
    broker::bind_operations(cls);
    // The language-model operations and the batch runners register here as well.
    broker::bind_batches(cls);
}
