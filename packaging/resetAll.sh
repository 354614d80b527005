#!/bin/sh
# Sample reset script for l2agent: runs when a station sends a reset request.
# l2agent runs it as ./run/resetAll.sh from its working directory and waits for it to end,
# so anything slow belongs in the background. Replace the body with what "reset" means on
# your board (restart the application, restore defaults, reboot, ...).
# By default it only records the request.
logger -t l2agent-reset "reset requested by the service station" 2>/dev/null ||
    echo "l2agent: reset requested by the service station" >&2
# Example: restart the board's application service instead of rebooting:
#   systemctl restart my-app.service &
exit 0
