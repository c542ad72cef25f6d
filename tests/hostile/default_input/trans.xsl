<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <xsl:param name="maxprice" select="0"/>
  <xsl:template match="/">
    <table>
      <xsl:for-each select="catalog/book[number(price) &lt; number($maxprice)]">
        <tr><td><xsl:value-of select="title"/></td><td><xsl:value-of select="price"/></td></tr>
      </xsl:for-each>
    </table>
  </xsl:template>
</xsl:stylesheet>
