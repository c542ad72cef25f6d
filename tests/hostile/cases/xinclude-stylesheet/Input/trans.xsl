<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform" xmlns:xi="http://www.w3.org/2001/XInclude">
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <xi:include href="../secret.xsl"/>
  <xsl:template match="/">
    <out>
      <xi:include href="../secret.txt" parse="text"/>
      <xi:include href="http://127.0.0.1:@PORT@/secret.xml"/>
    </out>
  </xsl:template>
</xsl:stylesheet>
