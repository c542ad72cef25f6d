<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform" xmlns:msxsl="urn:schemas-microsoft-com:xslt" xmlns:user="urn:hostile-script">
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <msxsl:script language="JScript" implements-prefix="user">
    // Each level passes through a native function (Array.prototype.map) and back.
    function deep(n) { return [n + 1].map(deep)[0]; }
  </msxsl:script>
  <xsl:template match="/"><out><xsl:value-of select="user:deep(0)"/></out></xsl:template>
</xsl:stylesheet>
