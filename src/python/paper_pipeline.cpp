// Python module tovrane_core.*.paper_pipeline (filled by its own issue).
#include <pybind11/pybind11.h>

PYBIND11_MODULE(paper_pipeline, m) {
    m.doc() = "tovrane_core paper_pipeline";
}
