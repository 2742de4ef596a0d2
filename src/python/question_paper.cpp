// Python module tovrane_core.*.question_paper (filled by its own issue).
#include <pybind11/pybind11.h>

PYBIND11_MODULE(question_paper, m) {
    m.doc() = "tovrane_core question_paper";
}
