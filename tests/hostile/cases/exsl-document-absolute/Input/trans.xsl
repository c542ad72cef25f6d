<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform" xmlns:exsl="http://exslt.org/common" extension-element-prefixes="exsl">
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <xsl:template match="/">
    <exsl:document href="@SANDBOX@/written.txt" method="text">written</exsl:document>
    <exsl:document href="@SANDBOX@/newdir/sub/written.txt" method="text">written</exsl:document>
    <done/>
  </xsl:template>
</xsl:stylesheet>
