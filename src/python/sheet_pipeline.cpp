// Python module tovrane_core.*.sheet_pipeline (filled by its own issue).
#include <pybind11/pybind11.h>

PYBIND11_MODULE(sheet_pipeline, m) {
    m.doc() = "tovrane_core sheet_pipeline";
}
