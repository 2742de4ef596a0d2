# Type checkers only: the compiled classes are made by pybind11's metaclass
# (pybind11_builtins.pybind11_type), which no importable module names.

class pybind11_type(type): ...
