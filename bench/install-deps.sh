#!/usr/bin/env bash
# What bench/run.sh needs beyond scripts/install-deps.sh: the peer installer's compiler and its
# stubs (nsis), plotting (python3-matplotlib), and for pack_throughput.sh GNU time and strace.
set -euo pipefail
bash "$(dirname "$0")/../scripts/install-deps.sh"
apt-get install -y --no-install-recommends nsis python3-matplotlib time strace
