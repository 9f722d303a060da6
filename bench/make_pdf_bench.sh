#!/usr/bin/env bash
# Makes a large PDF with ghostscript for the carving benchmark's PDF parser:
# 400 pages of text and a noise picture each (about 100 MB).
# Usage: make_pdf_bench.sh OUT.pdf   then   DV_BENCH_PDF=OUT.pdf bench/run carve
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../tests/fixtures/lib.sh"
fx_need_tools gs
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/big.ps" <<'PS'
/Times-Roman findfont 11 scalefont setfont
/seed 1 def
/rnd { /seed seed 1103515245 mul 12345 add 2147483647 and def seed -16 bitshift 255 and } def
1 1 400 {
  /page exch def
  0 1 50 { /i exch def 40 760 i 14 mul sub moveto (Page ) show page 10 string cvs show ( line ) show i 10 string cvs show
           ( of a large benchmark document, with some text on every line.) show } for
  gsave 100 40 translate 400 250 scale
  256 160 8 [256 0 0 160 0 0] { 256 string dup length 1 sub 0 exch 1 exch { 1 index exch rnd put } for } false 3 colorimage
  grestore
  showpage
} for
PS
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dAutoFilterColorImages=false -dColorImageFilter=/FlateEncode \
  -o "$1" "$work/big.ps"
ls -l "$1"
