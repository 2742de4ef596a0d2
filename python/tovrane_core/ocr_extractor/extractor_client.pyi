"""Page texts of PDF files: text layers, local OCR (Tesseract) or an OpenAI vision model."""

import os
from typing import ClassVar, Optional, Union
from tovrane_core._binding import pybind11_type

class ExtractorClient(metaclass=pybind11_type):
    """Extracts the text of PDF pages through one of several back ends."""

    EXTRACTOR_TYPES: ClassVar[tuple[str, ...]]
    @property
    def extractor_type(self) -> str: ...
    @property
    def region(self) -> str: ...
    @property
    def dpi(self) -> int: ...
    @property
    def ocr_languages(self) -> Optional[str]: ...
    @property
    def max_workers(self) -> Optional[int]: ...
    @property
    def gemini_model(self) -> str: ...
    @property
    def ocr_model(self) -> str: ...
    def __init__(
        self,
        *,
        extractor_type: str = "aws",
        region: str = "us-east-1",
        api_key: Optional[str] = None,
        app_id: Optional[str] = None,
        app_key: Optional[str] = None,
        ocr_languages: Optional[str] = None,
        max_workers: Optional[int] = None,
        use_text_layer: Optional[bool] = None,
    ) -> None: ...
    def set_dpi(self, dpi: int) -> None: ...
    def change_extractor(self, extractor_type: str) -> None: ...
    def check_reader(self) -> None: ...
    @staticmethod
    def get_recommended_extractor_for_subject(subject: str) -> str: ...
    def process_pdf(
        self, pdf_path: Union[str, os.PathLike[str]], page_numbers: Optional[list[int]] = None
    ) -> dict[int, str]: ...
