#!/usr/bin/env bash
# Sets up, builds and starts the server on the demo catalog, on port 20222
# unless a port option is given (e.g. scripts/serve-demo.sh -P:20300).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
demo="$PWD/build/demo"
mkdir -p "$demo/data"
sed "s|@DEMO_DATA@|$demo/data|g" resources/demo/machine.reg.in > "$demo/machine.reg"
export TMB_MACHINE_REGISTRY="$demo/machine.reg"
export TMB_USER_REGISTRY="${TMB_USER_REGISTRY:-$demo/user.reg}"
echo "Serving the demo catalog (registry: $TMB_MACHINE_REGISTRY); stop with Ctrl-C."
exec build/host/tmbsqlsvr "$@"
