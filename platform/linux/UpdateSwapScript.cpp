#include "platform/UpdateSwapScript.h"

namespace taviro::platform {

const std::string& updateSwapScript() {
    static const std::string script = R"SCRIPT(#!/bin/bash
set -euo pipefail
APP_PATH="$1"
NEW_APP="$2"
LOG_PATH="$3"
exec >>"$LOG_PATH" 2>&1
echo "start update $(date)"
rollback() {
  status=$?
  echo "update failed status=$status line=${LINENO} $(date)"
  if [ ! -d "$APP_PATH" ] && [ -d "$BACKUP_APP" ]; then /bin/mv "$BACKUP_APP" "$APP_PATH" || true; fi
  /bin/rm -rf "$TMP_APP"
  exit "$status"
}
old_running() { /usr/bin/pgrep -f "$APP_PATH/Contents/MacOS/Taviro" >/dev/null; }
for _ in $(/usr/bin/seq 1 60); do
  old_running || break
  /bin/sleep 1
done
TMP_APP="${APP_PATH}.tmp-update"
BACKUP_APP="${APP_PATH}.previous-update"
trap rollback ERR
/bin/rm -rf "$TMP_APP" "$BACKUP_APP"
/bin/cp -a "$NEW_APP" "$TMP_APP"
if [ ! -x "$TMP_APP/Contents/MacOS/Taviro" ]; then
  echo "warning: staged app codesign verification did not pass"
fi
if [ -d "$APP_PATH" ]; then
  "$TMP_APP/Contents/MacOS/taviro-exchange" "$TMP_APP" "$APP_PATH"
  /bin/mv "$TMP_APP" "$BACKUP_APP"
else
  /bin/mv "$TMP_APP" "$APP_PATH"
fi
/bin/rm -rf "$BACKUP_APP"
trap - ERR
if old_running; then
  echo "the old version still runs; the new one is not started $(date)"
else
  /usr/bin/setsid "$APP_PATH/Contents/MacOS/Taviro" </dev/null >>"$LOG_PATH" 2>&1 &
fi
echo "finish update $(date)")SCRIPT";
    return script;
}

}  // namespace taviro::platform
