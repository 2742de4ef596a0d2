// Python module tovrane_core.*.extractor_client (filled by its own issue).
#include <pybind11/pybind11.h>

PYBIND11_MODULE(extractor_client, m) {
    m.doc() = "tovrane_core extractor_client";
}
