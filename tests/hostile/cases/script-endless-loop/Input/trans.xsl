<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform" xmlns:msxsl="urn:schemas-microsoft-com:xslt" xmlns:user="urn:hostile-script">
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <msxsl:script language="JScript" implements-prefix="user">
    function spin() {
      var turns = 0;
      for (;;) { try { turns++; } catch (e) { } finally { continue; } }
    }
  </msxsl:script>
  <xsl:template match="/"><out><xsl:value-of select="user:spin()"/></out></xsl:template>
</xsl:stylesheet>
