<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:import href="parts/imported.xsl"/>
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <xsl:include href="parts/included.xsl"/>
  <xsl:template match="/">
    <table>
      <xsl:call-template name="included"/>
      <xsl:call-template name="imported"/>
      <tr><td><xsl:value-of select="document('data/extra.xml')/catalog/book/title"/></td></tr>
    </table>
  </xsl:template>
</xsl:stylesheet>
