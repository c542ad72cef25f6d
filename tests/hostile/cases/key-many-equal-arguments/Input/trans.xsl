<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="xml" omit-xml-declaration="yes"/>
  <xsl:key name="g" match="book" use="genre"/>
  <xsl:template match="/"><r><xsl:value-of select="count(key('g', //genre)) = count(//book) and count(//book) &gt; 30000"/></r></xsl:template>
</xsl:stylesheet>
