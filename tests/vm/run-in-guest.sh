#!/usr/bin/env bash
# Runs a test script inside the QEMU guest (scripts/vm/guest.sh), reported as skipped (77) where no
# guest can run here. Usage: run-in-guest.sh [GUEST OPTION]... -- COMMAND...
guest=$(dirname "$0")/../../scripts/vm/guest.sh
bash "$guest" check || exit $?
exec bash "$guest" run "$@"
