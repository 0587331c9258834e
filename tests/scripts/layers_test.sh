#!/bin/bash
# The tree's layers, read from its includes, from the symbols its objects
# take from each other, and from the server's program.
#
# The driver's folders stand in one order, each using only itself and what
# is below it:
#   platform < audio < wire < net < stream < session < devices < driver
# - no file of a folder includes a folder above it, nor any folder outside
#   the order (the tools, the server);
# - no object of a folder takes a symbol that only a folder above it
#   defines (what the library's own link would need from above);
# - server/ includes of the order only platform/, audio/ and wire/, and of
#   the tools their shared option rules and key file;
# - lumivox-server, when given, holds no symbol of the driver's.
# Usage: layers_test.sh SOURCE_ROOT [LUMIVOX_SERVER [FOLDER=OBJECTS...]]
# where OBJECTS is a colon-separated list of object files or archives whose
# symbols belong to FOLDER.
set -u
root=$1
server=${2:-}
shift $(($# < 2 ? $# : 2))
failed=0

LAYERS=(platform audio wire net stream session devices driver)
declare -A rank
for i in "${!LAYERS[@]}"; do rank[${LAYERS[$i]}]=$i; done

# includes FOLDER: every quoted include of the folder's files, as
# "file: included".
includes() {
  grep -Ho '^#include "[^"]*"' "$root/$1"/*.h "$root/$1"/*.cpp 2>/dev/null |
    sed -e "s#^$root/##" -e 's/:#include "\(.*\)"$/: \1/'
}

# By includes: each folder of the order includes only itself and below.
for folder in "${LAYERS[@]}"; do
  bad=$(includes "$folder" | while IFS= read -r line; do
    included=${line#*: }
    top=${included%%/*}
    [ "$top" = "$included" ] && continue  # a header beside the file
    if [ -z "${rank[$top]+x}" ] || [ "${rank[$top]}" -gt "${rank[$folder]}" ]; then
      echo "$line"
    fi
  done)
  if [ -n "$bad" ]; then
    echo "$folder/ includes from above it or outside the layers:"
    echo "$bad" | sed 's/^/  /'
    failed=1
  fi
done

bad=$(includes server | grep -Ev ': (server|wire|audio|platform|tools/common/options.h|tools/common/keyfile.h)(/|$)')
if [ -n "$bad" ]; then
  echo "server/ stands beside the driver and includes none of it (only the shared option rules and key file):"
  echo "$bad" | sed 's/^/  /'
  failed=1
fi

# By symbols: for each FOLDER=OBJECTS, the symbols its objects define and
# take. A symbol taken that no folder at or below the taker's defines, and
# a folder above does, is a link upward. Symbols from outside (the C
# library, GSM) are defined by none of them and pass.
if [ $# -gt 0 ]; then
  symbols=$(mktemp)
  trap 'rm -f "$symbols"' EXIT
  for assignment in "$@"; do
    folder=${assignment%%=*}
    IFS=: read -ra files <<<"${assignment#*=}"
    for file in "${files[@]}"; do
      # Objects of the core carry their folder in their path.
      owner=$folder
      if [ "$folder" = core ]; then
        owner=$(basename "$(dirname "$file")")
      fi
      if [ -z "${rank[$owner]+x}" ]; then
        echo "no layer for $file"
        failed=1
        continue
      fi
      nm -P "$file" 2>/dev/null | awk -v r="${rank[$owner]}" -v f="$owner" \
        '$2 == "U" { print "U", r, f, $1; next }
         $2 ~ /^[TDBRVWtdbrvw]$/ && $2 !~ /^[tdbr]$/ { print "D", r, f, $1 }'
    done
  done >"$symbols"
  upward=$(awk '
    $1 == "D" { if (!($4 in low) || $2 < low[$4]) { low[$4] = $2; by[$4] = $3 } ; next }
    $1 == "U" { taken[NR] = $0 }
    END {
      for (n in taken) {
        split(taken[n], t, " ")
        if ((t[4] in low) && low[t[4]] > t[2]) print t[3] "/ takes " t[4] " from " by[t[4]] "/"
      }
    }' "$symbols" | sort -u)
  if [ -n "$upward" ]; then
    echo "links upward:"
    echo "$upward" | c++filt | sed 's/^/  /'
    failed=1
  fi
fi

if [ -n "$server" ]; then
  driver=$(nm -C "$server" | grep -Ew 'DefDriverProc|drvLock|slotCreate|playSenderCreate|sessionOpen|DriverProc')
  if [ -n "$driver" ]; then
    echo "lumivox-server links driver code:"
    echo "$driver" | sed 's/^/  /'
    failed=1
  fi
fi

[ $failed = 0 ] && echo "layers: ${LAYERS[*]} each use only what is below them; server/ stands apart"
exit $failed
