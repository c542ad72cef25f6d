<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <xsl:template match="/"><xsl:call-template name="nest"><xsl:with-param name="n" select="0"/></xsl:call-template></xsl:template>
  <xsl:template name="nest">
    <xsl:param name="n"/>
    <d><xsl:choose>
      <xsl:when test="$n &gt;= 1000">bottom</xsl:when>
      <xsl:otherwise><xsl:call-template name="nest"><xsl:with-param name="n" select="$n + 1"/></xsl:call-template></xsl:otherwise>
    </xsl:choose></d>
  </xsl:template>
</xsl:stylesheet>
