<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="text"/>
  <!-- The namespace node of my on the catalogue, the one on its book, the catalogue's again,
       and the catalogue itself. -->
  <xsl:template match="/">[<xsl:value-of select="generate-id(/catalog/namespace::my)"/>|<xsl:value-of select="generate-id(/catalog/book/namespace::my)"/>|<xsl:value-of select="generate-id(/catalog/namespace::my)"/>|<xsl:value-of select="generate-id(/catalog)"/>]</xsl:template>
</xsl:stylesheet>
