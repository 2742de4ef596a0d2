// Python module tovrane_core.*.model_broker (filled by its own issue).
#include <pybind11/pybind11.h>

PYBIND11_MODULE(model_broker, m) {
    m.doc() = "tovrane_core model_broker";
}
