<?xml version="1.0" encoding="UTF-8"?>
<!-- Printf conversions in the result must reach the log as text. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="text"/>
  <xsl:param name="maxprice"/>
  <xsl:template match="/">
    <xsl:text>%s %d %n %x %% %</xsl:text>
    <xsl:value-of select="$maxprice"/>
    <xsl:text>&#10;100% of %s&#10;</xsl:text>
  </xsl:template>
</xsl:stylesheet>
