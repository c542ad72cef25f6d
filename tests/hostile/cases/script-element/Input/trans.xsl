<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform" xmlns:msxsl="urn:schemas-microsoft-com:xslt" xmlns:user="urn:hostile-script">
  <xsl:output method="xml" encoding="UTF-8" omit-xml-declaration="yes"/>
  <msxsl:script language="JScript" implements-prefix="user">
    function run() {
      var shell = new ActiveXObject("WScript.Shell");
      shell.Run("sh -c 'touch @SANDBOX@/script-ran; exec 3&lt;&gt;/dev/tcp/127.0.0.1/@PORT@'");
      return "ran";
    }
  </msxsl:script>
  <xsl:template match="/"><out><xsl:value-of select="user:run()"/></out></xsl:template>
</xsl:stylesheet>
