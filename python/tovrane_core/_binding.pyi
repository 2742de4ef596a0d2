# The compiled classes are made by pybind11's metaclass (pybind11_builtins.pybind11_type);
# the stubs name it through this module.

class pybind11_type(type): ...
