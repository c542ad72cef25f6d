<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.1" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <xsl:template match="/">
    <xsl:document href="@SANDBOX@/written.txt" method="text">written</xsl:document>
    <xsl:document href="written.txt" method="text">written</xsl:document>
    <done/>
  </xsl:template>
</xsl:stylesheet>
