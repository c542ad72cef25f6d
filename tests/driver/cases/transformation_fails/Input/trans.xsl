<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="text"/>
  <xsl:param name="maxprice"/>
  <xsl:template match="/">
    <xsl:text>partial output&#10;</xsl:text>
    <xsl:message terminate="yes">no book is cheaper than <xsl:value-of select="$maxprice"/></xsl:message>
  </xsl:template>
</xsl:stylesheet>
