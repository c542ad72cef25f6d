<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <xsl:template match="/"><r><xsl:call-template name="grow"><xsl:with-param name="n" select="0"/></xsl:call-template></r></xsl:template>
  <!-- Each level calls itself twice: 2^64 elements. -->
  <xsl:template name="grow">
    <xsl:param name="n"/>
    <x><xsl:if test="$n &lt; 64">
      <xsl:call-template name="grow"><xsl:with-param name="n" select="$n + 1"/></xsl:call-template>
      <xsl:call-template name="grow"><xsl:with-param name="n" select="$n + 1"/></xsl:call-template>
    </xsl:if></x>
  </xsl:template>
</xsl:stylesheet>
