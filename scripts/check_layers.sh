#!/usr/bin/env bash
# check_layers.sh: fails when a unit includes a header against the direction
# of the layers (docs/architecture.md): each folder may include its own
# headers and those of the folders its row names, and of the data library
# only its public headers (tmbio/include/tmbio/).
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A may=(
  [platform]=""
  [diag]="platform"
  [config]="platform tmbio"
  [wire]="diag platform"
  [secure]="wire config diag platform"
  [server]="secure wire config diag platform tmbio"
  [handlers]="server secure wire config diag platform tmbio"
  [host]="handlers server secure wire config diag platform tmbio"
  [client]="wire tmbio"
  [tmbio]=""
)

bad=0
for folder in "${!may[@]}"; do
  allowed=" $folder ${may[$folder]} "
  while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    target=${rest#*\"}
    target=${target%%\"*}
    if [[ $target != */* ]]; then
      # A bare name is a neighbour in the same folder, nothing else.
      [[ -f $(dirname "$file")/$target ]] && continue
      echo "$file:$line: bare include \"$target\" names no file beside it"
      bad=1
      continue
    fi
    top=${target%%/*}
    if [[ $allowed != *" $top "* ]]; then
      echo "$file:$line: $folder/ may not include \"$target\""
      bad=1
    elif [[ $top == tmbio && $folder != tmbio && ! -f tmbio/include/$target ]]; then
      echo "$file:$line: \"$target\" is private to the data library"
      bad=1
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$folder" \
             --include='*.h' --include='*.cc' --include='*.c' || true)
done
if ((bad)); then
  echo "check_layers: includes against the layer direction (see docs/architecture.md)"
  exit 1
fi
echo "check_layers: every include keeps to the layer direction"
