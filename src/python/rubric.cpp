// Python module tovrane_core.*.rubric (filled by its own issue).
#include <pybind11/pybind11.h>

PYBIND11_MODULE(rubric, m) {
    m.doc() = "tovrane_core rubric";
}
