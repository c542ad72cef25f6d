<?xml version="1.0"?>
<catalog><book><title>Not a stylesheet</title></book></catalog>
