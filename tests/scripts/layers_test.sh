#!/bin/bash
# The tree's layers, read from its includes and from the server's program:
# - audio/ includes only audio/ and platform/;
# - wire/ includes only wire/, audio/ and platform/;
# - server/ includes nothing of the driver (driver/, devices/, net/,
#   stream/) and of the tools only their shared option rules and key file, and the
#   driver's folders nothing of server/;
# - lumivox-server, when given, holds no symbol of the driver's.
# Usage: layers_test.sh SOURCE_ROOT [LUMIVOX_SERVER]
set -u
root=$1
server=${2:-}
failed=0

# includes FOLDER: every quoted include of the folder's files, as
# "file: included".
includes() {
  grep -Ho '^#include "[^"]*"' "$root/$1"/*.h "$root/$1"/*.cpp 2>/dev/null |
    sed -e "s#^$root/##" -e 's/:#include "\(.*\)"$/: \1/'
}

# refuse FOLDER ALLOWED-REGEX WHY: each include of FOLDER outside ALLOWED.
refuse() {
  local bad
  bad=$(includes "$1" | grep -Ev ": ($2)(/|$)")
  if [ -n "$bad" ]; then
    echo "$1/ $3:"
    echo "$bad" | sed 's/^/  /'
    failed=1
  fi
}

refuse audio 'audio|platform' 'is the codec layer and includes only audio/ and platform/'
refuse wire 'wire|audio|platform' 'includes only wire/, audio/ and platform/'
refuse server 'server|wire|audio|platform|tools/common/options.h|tools/common/keyfile.h' \
  'stands beside the driver and includes none of it (only the shared option rules and key file)'
for folder in driver devices net stream; do
  bad=$(includes "$folder" | grep -E ': server/')
  if [ -n "$bad" ]; then
    echo "$folder/ includes the server:"
    echo "$bad" | sed 's/^/  /'
    failed=1
  fi
done

if [ -n "$server" ]; then
  driver=$(nm -C "$server" | grep -Ew 'DefDriverProc|drvLock|slotCreate|playSenderCreate|sessionOpen|DriverProc')
  if [ -n "$driver" ]; then
    echo "lumivox-server links driver code:"
    echo "$driver" | sed 's/^/  /'
    failed=1
  fi
fi

[ $failed = 0 ] && echo "layers: audio/ and wire/ stand alone; server/ and the driver stand apart"
exit $failed
