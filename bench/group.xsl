<?xml version="1.0" encoding="UTF-8"?>
<!-- Heavy benchmark: the books grouped by genre with xsl:key and the usual
     XSLT 1.0 idiom (the first book of each key value), genres in name order.
     Each group gets its size and average price, then its books sorted by title
     and author, of which those cheaper than $maxprice are listed. Every call of
     key() here returns a whole group, so the cost of key() dominates. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="UTF-8" indent="yes"/>
  <xsl:param name="maxprice"/>
  <xsl:key name="by-genre" match="book" use="genre"/>

  <xsl:template match="/">
    <xsl:variable name="all" select="/catalog/book"/>
    <html>
      <head>
        <meta http-equiv="Content-Type" content="text/html; charset=UTF-8"/>
        <title>Catalogue by genre</title>
      </head>
      <body>
        <h1>Genres (books under <xsl:value-of select="$maxprice"/>)</h1>
        <p>Books in the catalogue: <xsl:value-of select="count($all)"/></p>
        <xsl:for-each select="$all[generate-id() = generate-id(key('by-genre', genre)[1])]">
          <xsl:sort select="genre"/>
          <xsl:variable name="group" select="key('by-genre', genre)"/>
          <h2><xsl:value-of select="genre"/></h2>
          <p>Books: <xsl:value-of select="count($group)"/>; average price: <xsl:value-of
              select="format-number(sum($group/price) div count($group), '0.00')"/></p>
          <table border="1">
            <tr><th>Title</th><th>Author</th><th>Price</th><th>Id</th></tr>
            <xsl:for-each select="$group[number(price) &lt; number($maxprice)]">
              <xsl:sort select="title"/>
              <xsl:sort select="author"/>
              <tr>
                <td><xsl:value-of select="title"/></td>
                <td><xsl:value-of select="author"/></td>
                <td><xsl:value-of select="price"/></td>
                <td><xsl:value-of select="@id"/></td>
              </tr>
            </xsl:for-each>
          </table>
        </xsl:for-each>
      </body>
    </html>
  </xsl:template>
</xsl:stylesheet>
