#!/usr/bin/env bash
# Builds (installing what is missing) and says what will run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
echo "The utility is not built yet: this will start nubo-devsim on a copy of the sample device and the utility against it."
