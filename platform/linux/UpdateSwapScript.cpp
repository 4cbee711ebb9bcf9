#include "platform/UpdateSwapScript.h"

#include <unistd.h>

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
OLD_PID="${4:-}"
# By its pid too: a process started by a relative or linked path does not name APP_PATH.
PATTERN=$(printf '%s' "$APP_PATH/Contents/MacOS/Taviro" | /bin/sed 's/[][\\.*^$+?(){}|]/\\&/g')
old_running() {
  /usr/bin/pgrep -f "$PATTERN" >/dev/null && return 0
  [ -n "$OLD_PID" ] && [ -r "/proc/$OLD_PID/stat" ] && [ "$(/bin/sed 's/.*) //' "/proc/$OLD_PID/stat" | /usr/bin/cut -c1)" != Z ]
}
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
trap - ERR
# The new version is in place: a backup that will not go is no reason to leave it unstarted.
/bin/rm -rf "$BACKUP_APP" || echo "warning: could not remove $BACKUP_APP"
if old_running; then
  echo "the old version still runs; the new one is not started $(date)"
else
  /usr/bin/setsid "$APP_PATH/Contents/MacOS/Taviro" </dev/null >>"$LOG_PATH" 2>&1 &
fi
echo "finish update $(date)")SCRIPT";
    return script;
}

std::vector<std::string> updateSwapArguments(const std::filesystem::path& script, const std::filesystem::path& appPath,
                                             const std::filesystem::path& newApp, const std::filesystem::path& logPath) {
    return {script.string(), appPath.string(), newApp.string(), logPath.string(), std::to_string(::getpid())};
}

}  // namespace taviro::platform
