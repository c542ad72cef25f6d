<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <xsl:template match="/"><xsl:call-template name="double"><xsl:with-param name="s" select="'0123456789abcdef'"/><xsl:with-param name="n" select="64"/></xsl:call-template></xsl:template>
  <!-- Doubles the string on every level: 2^68 characters. -->
  <xsl:template name="double">
    <xsl:param name="s"/>
    <xsl:param name="n"/>
    <xsl:choose>
      <xsl:when test="$n = 0"><xsl:value-of select="string-length($s)"/></xsl:when>
      <xsl:otherwise><xsl:call-template name="double"><xsl:with-param name="s" select="concat($s, $s)"/><xsl:with-param name="n" select="$n - 1"/></xsl:call-template></xsl:otherwise>
    </xsl:choose>
  </xsl:template>
</xsl:stylesheet>
