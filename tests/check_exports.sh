#!/usr/bin/env bash
# Fails when the shared library exports any symbol that is not a kq_ function,
# or lacks one of the 29 functions the public header declares.
set -euo pipefail
lib=$1
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t syms < <(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
bad=$(printf '%s\n' "${syms[@]}" | grep -v '^kq_' || true)
if [ -n "$bad" ]; then echo "unexpected exports:"; echo "$bad"; exit 1; fi
mapfile -t want < <(grep -oE 'KQ_API [^(]*\bkq_[a-z_]+\(' "$here/../include/kerquill.h" | grep -oE 'kq_[a-z_]+' | sort)
[ "${KQ_EXPORTS_COMPLETE:-1}" = 1 ] || { echo "exports ok: ${#syms[@]} kq_ functions"; exit 0; }
missing=$(comm -23 <(printf '%s\n' "${want[@]}") <(printf '%s\n' "${syms[@]}"))
if [ -n "$missing" ]; then echo "declared but not exported:"; echo "$missing"; exit 1; fi
echo "exports ok: ${#syms[@]} kq_ functions"
