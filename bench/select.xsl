<?xml version="1.0" encoding="UTF-8"?>
<!-- Light benchmark: the books cheaper than $maxprice, in document order, as one
     HTML table. $maxprice comes in as the string "35"; number() on both sides
     keeps the comparison numeric in every processor. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="UTF-8" indent="yes"/>
  <xsl:param name="maxprice"/>

  <xsl:template match="/catalog">
    <html>
      <head>
        <meta http-equiv="Content-Type" content="text/html; charset=UTF-8"/>
        <title>Catalogue: books under <xsl:value-of select="$maxprice"/></title>
      </head>
      <body>
        <h1>Books cheaper than <xsl:value-of select="$maxprice"/></h1>
        <table border="1">
          <tr>
            <th>Id</th><th>Title</th><th>Author</th><th>Genre</th>
            <th>Price</th><th>Date</th><th>About</th>
          </tr>
          <xsl:apply-templates select="book[number(price) &lt; number($maxprice)]"/>
        </table>
        <p>Listed: <xsl:value-of select="count(book[number(price) &lt; number($maxprice)])"/>
           of <xsl:value-of select="count(book)"/></p>
      </body>
    </html>
  </xsl:template>

  <xsl:template match="book">
    <tr>
      <td><xsl:value-of select="@id"/></td>
      <td><xsl:value-of select="title"/></td>
      <td><xsl:value-of select="author"/></td>
      <td><xsl:value-of select="genre"/></td>
      <td><xsl:value-of select="price"/></td>
      <td><xsl:value-of select="publish_date"/></td>
      <td><xsl:value-of select="description"/></td>
    </tr>
  </xsl:template>
</xsl:stylesheet>
