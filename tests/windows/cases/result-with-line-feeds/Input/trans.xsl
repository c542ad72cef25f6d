<?xml version="1.0" encoding="UTF-8"?>
<!-- One title per line, as plain text. The encoding is named because a service may otherwise
     write UTF-16, whose first zero byte would end the delivered text before any line feed. The
     line feed goes inside concat(): a text node of white space alone may be dropped when the
     stylesheet is loaded as a document. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="text" encoding="UTF-8"/>
  <xsl:template match="/">
    <xsl:for-each select="catalogue/book">
      <xsl:value-of select="concat(title, '&#10;')"/>
    </xsl:for-each>
  </xsl:template>
</xsl:stylesheet>
