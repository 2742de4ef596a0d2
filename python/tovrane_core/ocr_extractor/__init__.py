"""Text extraction from PDF pages (text layer, local OCR, vision models)."""
