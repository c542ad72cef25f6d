<?xml version="1.0" encoding="UTF-8"?>
<!-- In UTF-16 a zero byte follows the first ASCII character: delivery stops there. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="text" encoding="UTF-16"/>
  <xsl:param name="maxprice"/>
  <xsl:template match="/">
    <xsl:text>Books under </xsl:text>
    <xsl:value-of select="$maxprice"/>
  </xsl:template>
</xsl:stylesheet>
