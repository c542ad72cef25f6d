<?xml version="1.0" encoding="UTF-8"?>
<!-- Not well-formed: the paragraph is never closed, so loading the stylesheet fails. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:template match="/">
    <p>unclosed paragraph
  </xsl:template>
</xsl:stylesheet>
