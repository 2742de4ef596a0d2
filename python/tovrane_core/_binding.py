"""The metaclass pybind11 gives every compiled class, under the name the stubs use for it."""

from tovrane_core.datastructures.rubric import Rubric

pybind11_type = type(Rubric)
