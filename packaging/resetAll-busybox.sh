#!/bin/sh
# Sample reset script for a board without systemd (BusyBox init, sysvinit): l2agent runs it as
# ./run/resetAll.sh from /etc/l2agent when a station sends a reset request, and waits for it to
# end. Replace the body with what "reset" means on your board.
logger -t l2agent-reset "reset requested by the service station" 2>/dev/null ||
    echo "l2agent: reset requested by the service station" >&2
# Restart the board's application through its own init script:
#   /etc/init.d/S60myapp restart
# Or reboot. The agent answers again only after this script ends, so a station waiting for the
# board (l2station reset --wait) should not see it answer before the reboot: wait for it here.
#   reboot; sleep 60
exit 0
