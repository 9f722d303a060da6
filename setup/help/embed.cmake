# Writes the file IN as the byte array kDelvoraHelpHtml into OUT.
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUT} "// Generated from setup/help/delvora-help.html.\nextern const unsigned char kDelvoraHelpHtml[];\nextern const unsigned long kDelvoraHelpHtmlSize;\nconst unsigned char kDelvoraHelpHtml[] = {\n${bytes}0};\nconst unsigned long kDelvoraHelpHtmlSize = ${size};\n")
