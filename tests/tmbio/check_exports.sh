#!/bin/sh
# Fails unless the shared library at $1 exports its C interface and nothing
# else: every defined function must start with QD, GetLocal, GetOwned or GetNum.
syms=$(nm -D --defined-only "$1") || exit 1
printf '%s\n' "$syms" | grep -q ' T QDGetEnvMode$' || { echo "QDGetEnvMode not exported"; exit 1; }
printf '%s\n' "$syms" | awk '
  $2 ~ /^[TtWwiIVv]$/ && $3 !~ /^(QD|GetLocal|GetOwned|GetNum|_init$|_fini$)/ { print "exported:", $0; bad = 1 }
  END { exit bad }'
