"""Grades school examinations with a large language model.

The modules are compiled extensions: ``model_broker``, ``paper_pipeline``,
``sheet_pipeline``, ``tovrane``, ``datastructures`` and
``ocr_extractor.extractor_client``.
"""

__version__ = "0.1.0"

__all__ = ["__version__"]
