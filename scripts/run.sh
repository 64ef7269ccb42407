#!/usr/bin/env bash
# Builds the release program and runs it in the foreground. Its working tree
# and configuration file are created beside the program, in build/release/src.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake --preset release
cmake --build --preset release --target KvxTCPServer -j2

program=build/release/src/KvxTCPServer
# In a terminal the event-log entries are most useful right there.
export KVX_EVENT_LOG="${KVX_EVENT_LOG:-stderr}"
cat <<MSG

Starting $program in the foreground.
  Configuration: $(pwd)/build/release/src/KvxTCPConfig.xml (written on first start)
  Working tree:  $(pwd)/build/release/src/KvxTCPIP/
  Event log:     $KVX_EVENT_LOG
Stop it with Ctrl+C (or SIGTERM); SIGTSTP pauses, SIGCONT continues.

MSG
exec "$program" "$@"
