#!/usr/bin/env bash
# Fails when the shared library exports any symbol that is not a kq_ function,
# or lacks one of the functions the public header declares. A Windows DLL
# is read from its export table (objdump -p, KQ_OBJDUMP names the tool) and
# must also import no runtime DLL that is not part of Windows: the C++ and
# thread runtimes are linked in, so a host ships kerquill.dll alone.
set -euo pipefail
lib=$1
here=$(cd "$(dirname "$0")" && pwd)
if [[ $lib == *.dll ]]; then
    objdump=${KQ_OBJDUMP:-x86_64-w64-mingw32-objdump}
    table=$("$objdump" -p "$lib")
    mapfile -t syms < <(printf '%s\n' "$table" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' \
                        | awk '/^[[:space:]]*\[ *[0-9]/ {print $NF}' | sort)
    ((${#syms[@]})) || { echo "no export table in $lib"; exit 1; }
    runtime=$(printf '%s\n' "$table" | awk '/DLL Name:/ {print $3}' \
              | grep -iE '^(libwinpthread|libstdc\+\+|libgcc|libyyjson|libmbed)' || true)
    if [ -n "$runtime" ]; then echo "runtime DLLs the host would have to ship:"; echo "$runtime"; exit 1; fi
else
    mapfile -t syms < <(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
fi
bad=$(printf '%s\n' "${syms[@]}" | grep -v '^kq_' || true)
if [ -n "$bad" ]; then echo "unexpected exports:"; echo "$bad"; exit 1; fi
mapfile -t want < <(grep -oE 'KQ_API [^(]*\bkq_[a-z_]+\(' "$here/../include/kerquill.h" | grep -oE 'kq_[a-z_]+' | sort)
[ "${KQ_EXPORTS_COMPLETE:-1}" = 1 ] || { echo "exports ok: ${#syms[@]} kq_ functions"; exit 0; }
missing=$(comm -23 <(printf '%s\n' "${want[@]}") <(printf '%s\n' "${syms[@]}"))
if [ -n "$missing" ]; then echo "declared but not exported:"; echo "$missing"; exit 1; fi
echo "exports ok: ${#syms[@]} kq_ functions"
