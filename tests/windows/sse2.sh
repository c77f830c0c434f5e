#!/usr/bin/env bash
# sse2.sh OBJDUMP LIBRARY...: the arithmetic of the 32-bit program is done
# in SSE2, as the 64-bit one's is, so both count the same twips.  x87
# arithmetic rounds to 64-bit mantissas and then again to doubles, which
# can move a total by a twip (GCC's i686 default without -mfpmath=sse).
# Loads, stores and conversions through the x87 stack stay and are exact:
# the 32-bit calling convention returns a double in st(0), and a 64-bit
# integer is converted with fild/fistp.  Needs no 32-bit execution, so it
# proves this where the 32-bit tests cannot run.
set -u
objdump=$1
shift
status=0
for lib in "$@"; do
    found=$("$objdump" -d --no-show-raw-insn "$lib" | awk -F'\t' '
        /^[^ \t].*:$/ { where = $0 }
        NF >= 2 { split($2, w, " ")
                  if (w[1] ~ /^f(i?(add|sub|subr|mul|div|divr)[spl]?|(add|sub|subr|mul|div|divr)p|sqrt)$/)
                      print where "  " $2 }') || exit 2
    if [[ -n $found ]]; then
        echo "FAIL - x87 arithmetic in ${lib##*/}:"
        echo "$found"
        status=1
    else
        echo "ok   - ${lib##*/}: no x87 arithmetic"
    fi
done
exit "$status"
