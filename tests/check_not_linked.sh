#!/usr/bin/env bash
# Fails when any executable or shared library of the build needs a media library.
set -euo pipefail
build=$1
found=0
while IFS= read -r -d '' file; do
  if readelf -h "$file" >/dev/null 2>&1 && readelf -d "$file" 2>/dev/null |
      grep -E 'NEEDED.*\[lib(av|sw)[a-z]*\.so' >/dev/null; then
    echo "links a media library: $file"
    found=1
  fi
done < <(find "$build" -type f \( -perm -u+x -o -name '*.so*' \) -not -path '*/CMakeFiles/*' -print0)
exit $found
