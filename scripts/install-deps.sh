#!/usr/bin/env bash
# Installs the build tools, libraries and the real DNS peers the tests use.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
# Post-install helpers of the DNS servers may fail without internet; that is harmless.
$SUDO apt-get install -y --no-install-recommends $(grep -v '^#' "$here/packages.txt")
