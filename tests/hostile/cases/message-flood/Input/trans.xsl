<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
    xmlns:str="http://exslt.org/strings" extension-element-prefixes="str">
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <!-- 3000 messages of 1 MB each, then a result: the messages must not pile up in memory. -->
  <xsl:template match="/">
    <xsl:variable name="tenth" select="str:padding(100000, 'x')"/>
    <xsl:variable name="big" select="concat($tenth, $tenth, $tenth, $tenth, $tenth, $tenth, $tenth, $tenth, $tenth, $tenth)"/>
    <xsl:for-each select="str:tokenize(str:padding(3000, 'a'), '')">
      <xsl:message><xsl:value-of select="$big"/></xsl:message>
    </xsl:for-each>
    <p>done</p>
  </xsl:template>
</xsl:stylesheet>
