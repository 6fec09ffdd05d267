"""The XML layer shared by the XML formats (PAGE-XML, ALTO, hOCR)."""
