#!/usr/bin/env bash
# Sets up, builds and starts the server on the demo catalog, on port 20222
# unless a port option is given (e.g. scripts/serve-demo.sh -P:20300).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
demo="$PWD/build/demo"
mkdir -p "$demo/data"
# The demo catalog is built once, from resources/demo/*.json and generated
# records; a data file already there is kept as it stands.
admin=build/tmbio/admin/tmbadmin
missing=()
for table in customers products orders; do
  [ -e "$demo/data/$table.tmb" ] || missing+=("$table")
done
if ((${#missing[@]})); then
  "$admin" demo "$demo/csv" >/dev/null
  for table in "${missing[@]}"; do
    file="$demo/data/$table.tmb"
    if ! { "$admin" create "$file" "resources/demo/$table.json" >/dev/null &&
           "$admin" load "$file" "$demo/csv/$table.csv"; }; then
      rm -f "$file" "$file-journal" "$file-wal" "$file-shm"
      echo "serve-demo.sh: could not build $file" >&2
      exit 1
    fi
  done
fi
# The ODBC driver "tmbsqlsvr" (this build's) and, unless there is one, the
# user DSN "tmbdemo" for this server (docs/odbc.md): isql -v tmbdemo.
sed "s|@DRIVER@|$PWD/build/client/odbc/libtmbodbc.so|" resources/odbc/odbcinst.ini.in \
  > build/odbcinst-tmb.ini
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO odbcinst -i -d -f build/odbcinst-tmb.ini >/dev/null
odbcinst -q -s -n tmbdemo >/dev/null 2>&1 || odbcinst -i -s -h -f resources/odbc/odbc.ini >/dev/null
sed "s|@DEMO_DATA@|$demo/data|g" resources/demo/machine.reg.in > "$demo/machine.reg"
export TMB_MACHINE_REGISTRY="$demo/machine.reg"
export TMB_USER_REGISTRY="${TMB_USER_REGISTRY:-$demo/user.reg}"
echo "Serving the demo catalog (registry: $TMB_MACHINE_REGISTRY); stop with the space bar or Ctrl-C."
exec build/host/tmbsqlsvr "$@"
