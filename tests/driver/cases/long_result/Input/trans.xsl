<?xml version="1.0" encoding="UTF-8"?>
<!-- Copies the 5000-byte text of the document, line feeds included. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="text"/>
  <xsl:template match="/">
    <xsl:value-of select="/text"/>
  </xsl:template>
</xsl:stylesheet>
