"""Rules of the offline rehearsal model (private)"""

from typing import Iterable

NOTICE: str

class RehearsalError(ValueError): ...

def answer(schema: str, messages: Iterable[tuple[str, str]]) -> str: ...
