// Python module tovrane_core.*.tovrane (filled by its own issue).
#include <pybind11/pybind11.h>

PYBIND11_MODULE(tovrane, m) {
    m.doc() = "tovrane_core tovrane";
}
