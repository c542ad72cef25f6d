<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <xsl:include href="secret.xsl"/>
  <xsl:template match="/"><out><xsl:call-template name="secret"/></out></xsl:template>
</xsl:stylesheet>
