<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <!-- Copies the whole document, so anything pulled into it shows in the result. -->
  <xsl:template match="/"><xsl:copy-of select="/"/></xsl:template>
</xsl:stylesheet>
