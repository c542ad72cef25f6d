<?xml version="1.0" encoding="UTF-8"?>
<!-- The books cheaper than $maxprice, as an HTML table. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" indent="yes"/>
  <xsl:param name="maxprice" select="1000"/>

  <xsl:template match="/catalogue">
    <html>
      <head>
        <!-- Declared here rather than left to the serializer, whose own form differs between
             releases of libxml2. -->
        <meta http-equiv="Content-Type" content="text/html; charset=UTF-8"/>
        <title>Books under <xsl:value-of select="$maxprice"/></title>
      </head>
      <body>
        <h1>Books under <xsl:value-of select="$maxprice"/></h1>
        <table border="1">
          <tr><th>Title</th><th>Author</th><th>Year</th><th>Price</th></tr>
          <xsl:for-each select="book[price &lt; $maxprice]">
            <xsl:sort select="price" data-type="number"/>
            <tr>
              <td><xsl:value-of select="title"/></td>
              <td><xsl:value-of select="author"/></td>
              <td><xsl:value-of select="year"/></td>
              <td><xsl:value-of select="price"/></td>
            </tr>
          </xsl:for-each>
        </table>
      </body>
    </html>
  </xsl:template>
</xsl:stylesheet>
