<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform" xmlns:msxsl="urn:schemas-microsoft-com:xslt" xmlns:user="urn:hostile-script">
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <msxsl:script language="JScript" implements-prefix="user">
    function price(list) {
      var value = Number(list.item(0).text);
      if (value > 40) throw new Error("no sort key for " + value);
      return value;
    }
  </msxsl:script>
  <xsl:template match="/">
    <table><xsl:for-each select="catalog/book"><xsl:sort select="user:price(price)" data-type="number"/><tr><td><xsl:value-of select="title"/></td></tr></xsl:for-each></table>
  </xsl:template>
</xsl:stylesheet>
