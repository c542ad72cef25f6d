<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="text"/>
  <xsl:template match="/"><xsl:value-of select="count(catalog/book)"/> books; Input/secret.txt says: <xsl:value-of select="document('secret.txt', /)"/></xsl:template>
</xsl:stylesheet>
