<?xml version="1.0" encoding="UTF-8"?>
<!-- A CR LF in the result keeps its CR: the line end becomes CR CR LF. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="text"/>
  <xsl:template match="/">
    <xsl:for-each select="catalogue/book">
      <xsl:value-of select="title"/>
      <xsl:text>&#13;&#10;</xsl:text>
    </xsl:for-each>
    <xsl:text>lone line feed&#10;lone carriage return&#13;end</xsl:text>
  </xsl:template>
</xsl:stylesheet>
