#include "platform/UpdateSwapScript.h"

#include <unistd.h>

#include <utility>

namespace taviro::platform {
namespace {

// @NAME@ stands for a value defined in the header.
constexpr const char* kTemplate = R"SCRIPT(#!/bin/bash
set -euo pipefail
APP_PATH="$1"
NEW_APP="$2"
LOG_PATH="$3"
OLD_PID="${4:-}"
DESKTOP_LOG="${5:-}"
exec >>"$LOG_PATH" 2>&1
echo "start update $(date)"
STAGED="$(/usr/bin/dirname "$NEW_APP")"
VERSION_DIR="$(/usr/bin/dirname "$STAGED")"
VERSION="$(/usr/bin/basename "$VERSION_DIR")"
TMP_APP="${APP_PATH}.tmp-update"
BACKUP_APP="${APP_PATH}.previous-update"
PROOF="$VERSION_DIR/@PROOF@"
WAIT="${@WAIT_VARIABLE@:-@WAIT@}"
case "$WAIT" in ''|*[!0-9]*) WAIT=@WAIT@ ;; esac
# One swap per package at a time; the lock is not handed on to the versions started here.
exec 9>>"${APP_PATH}.update-lock"
if ! /usr/bin/flock -n 9; then
  echo "another update of this package is under way; nothing changed $(date)"
  exit 1
fi
# A logout's signals never cut the swap between two of its steps; while the new version is on
# trial they end the trial (below).
trap '' TERM HUP INT
note() {
  echo "$1 $(date)"
  if [ -n "$DESKTOP_LOG" ]; then
    printf '[%s] %s\n' "$(/usr/bin/date -u +%Y-%m-%dT%H:%M:%SZ)" "$1" >>"$DESKTOP_LOG" || true
  fi
}
# With the signals' default dispositions, whatever this script ignores.
start_installed() {
  (trap - TERM HUP INT; exec /usr/bin/setsid "$APP_PATH/Contents/MacOS/Taviro" </dev/null >/dev/null 2>&1 9>&-) &
}
# The record goes first: a folder half removed is never restored.
retire() {
  [ "$(/usr/bin/basename "$STAGED")" = @STAGED@ ] || return 0
  /bin/rm -f "$VERSION_DIR/@RECORD@" && /bin/rm -rf "$VERSION_DIR/@ARCHIVE@" "$STAGED" "$PROOF" "$VERSION_DIR/@FAILURES@" ||
    echo "warning: could not retire $VERSION_DIR"
}
refuse() {
  : >"$VERSION_DIR/@REFUSED@" || true
  retire
}
inode() { /usr/bin/stat -c %i "$1" 2>/dev/null || true; }
# Puts the package that was installed when the swap began (OLD_INODE) back at APP_PATH, from
# the backup or the staging copy, whichever holds it; what replaced it goes.
restore_old() {
  [ -n "$OLD_INODE" ] || return 0
  [ "$(inode "$APP_PATH")" = "$OLD_INODE" ] && return 0
  local place
  for place in "$BACKUP_APP" "$TMP_APP"; do
    [ "$(inode "$place")" = "$OLD_INODE" ] || continue
    if [ ! -e "$APP_PATH" ]; then
      /bin/mv -T "$place" "$APP_PATH" || return 1
    elif ! "$place/Contents/MacOS/taviro-exchange" "$place" "$APP_PATH"; then
      /bin/rm -rf "$APP_PATH.refused-update" && /bin/mv -T "$APP_PATH" "$APP_PATH.refused-update" &&
        /bin/mv -T "$place" "$APP_PATH" || return 1
      place="$APP_PATH.refused-update"
    fi
    /bin/rm -rf "$place" || true
    return 0
  done
  return 1
}
rollback() {
  status=$?
  echo "update failed status=$status line=$1 $(date)"
  restore_old || echo "warning: the installed version is at $BACKUP_APP"
  /bin/rm -rf "$TMP_APP" || true
  # A version that cannot be swapped in is not waited on for ever.
  echo "$status" >>"$VERSION_DIR/@FAILURES@" || true
  if [ "$(/usr/bin/wc -l <"$VERSION_DIR/@FAILURES@" 2>/dev/null || echo 0)" -ge 3 ]; then
    note "update refused version=$VERSION: its swap failed 3 times"
    refuse
  fi
  [ -x "$APP_PATH/Contents/MacOS/Taviro" ] && start_installed
  exit "$status"
}
running() {
  [ -r "/proc/$1/stat" ] && [ "$(/bin/sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | /usr/bin/cut -c1)" != Z ]
}
# By its pid too: a process started by a relative or linked path does not name APP_PATH.
PATTERN=$(printf '%s' "$APP_PATH/Contents/MacOS/Taviro" | /bin/sed 's/[][\\.*^$+?(){}|]/\\&/g')
old_running() {
  /usr/bin/pgrep -f "$PATTERN" >/dev/null && return 0
  [ -n "$OLD_PID" ] && running "$OLD_PID"
}
# The look that finds the old version gone is the one that counts: a second look after it could
# meet a process in the middle of its exit and give up on a swap whose old version had ended.
deadline=$((SECONDS + WAIT))
while old_running; do
  if [ "$SECONDS" -ge "$deadline" ]; then
    echo "the old version still runs after $WAIT s; nothing changed $(date)"
    exit 1
  fi
  /bin/sleep 1
done
# A run cut off between two renames (SIGKILL, a power cut) left only the backup.
if [ ! -d "$APP_PATH" ] && [ -d "$BACKUP_APP" ]; then /bin/mv -T "$BACKUP_APP" "$APP_PATH"; fi
OLD_INODE=""
trap 'rollback $LINENO' ERR
/bin/rm -rf "$TMP_APP" "$BACKUP_APP" "$PROOF"
/bin/cp -a "$NEW_APP" "$TMP_APP"
if [ -L "$TMP_APP/Contents/MacOS/Taviro" ] || [ ! -f "$TMP_APP/Contents/MacOS/Taviro" ] || [ ! -x "$TMP_APP/Contents/MacOS/Taviro" ]; then
  echo "the new package's Contents/MacOS/Taviro is not an executable file; the installed version stays"
  false
fi
if [ -d "$APP_PATH" ]; then
  OLD_INODE="$(inode "$APP_PATH")"
  if "$TMP_APP/Contents/MacOS/taviro-exchange" "$TMP_APP" "$APP_PATH"; then
    /bin/mv -T "$TMP_APP" "$BACKUP_APP"
  else
    status=$?
    [ "$status" = @UNSUPPORTED@ ] || (exit "$status")
    echo "this file system cannot exchange the packages in one step: two renames instead"
    /bin/mv -T "$APP_PATH" "$BACKUP_APP"
    /bin/mv -T "$TMP_APP" "$APP_PATH"
  fi
else
  /bin/mv -T "$TMP_APP" "$APP_PATH"
fi
trap - ERR
# The new version proves that it starts by loading its first page; until then the backup stays.
SIGNALLED=""
trap 'SIGNALLED=1' TERM HUP INT
@PROOF_VARIABLE@="$PROOF" /usr/bin/setsid "$APP_PATH/Contents/MacOS/Taviro" </dev/null >/dev/null 2>&1 9>&- &
NEW_PID=$!
deadline=$((SECONDS + WAIT))
while [ ! -e "$PROOF" ] && [ -z "$SIGNALLED" ] && running "$NEW_PID" && [ "$SECONDS" -lt "$deadline" ]; do
  /bin/sleep 0.2
done
trap '' TERM HUP INT
if [ -e "$PROOF" ] || [ -z "$OLD_INODE" ]; then
  # The new version is in place: a backup that will not go is no reason to roll it back.
  /bin/rm -rf "$BACKUP_APP" || echo "warning: could not remove $BACKUP_APP"
  retire
  echo "finish update $(date)"
  exit 0
fi
if [ -n "$SIGNALLED" ]; then
  reason="the session ended before it showed a page"
elif running "$NEW_PID"; then
  reason="it showed no page within $WAIT s"
else
  reason="it ended before showing a page"
fi
if running "$NEW_PID"; then
  kill -TERM -- "-$NEW_PID" 2>/dev/null || true
  for _ in 1 2 3 4 5 6; do running "$NEW_PID" || break; /bin/sleep 0.5; done
  kill -KILL -- "-$NEW_PID" 2>/dev/null || true
fi
wait "$NEW_PID" 2>/dev/null || true
refuse
if restore_old; then
  start_installed
  note "update rolled back version=$VERSION: $reason; the previous version is started again"
else
  note "update of version=$VERSION could not be rolled back ($reason); the previous version is at $BACKUP_APP"
fi
exit 1)SCRIPT";

std::string buildScript() {
    std::string script = kTemplate;
    const std::pair<const char*, std::string> values[] = {
        {"@PROOF@", kLaunchProofName},          {"@WAIT_VARIABLE@", kSwapWaitVariable},
        {"@WAIT@", std::to_string(kSwapWaitSeconds)}, {"@STAGED@", kStagedFolderName},
        {"@RECORD@", kUpdateRecordName},        {"@ARCHIVE@", kUpdateArchiveName},
        {"@FAILURES@", kSwapFailuresName},      {"@REFUSED@", kRefusedMarkerName},
        {"@UNSUPPORTED@", std::to_string(kExchangeUnsupportedStatus)}, {"@PROOF_VARIABLE@", kLaunchProofVariable},
    };
    for (const auto& [token, value] : values) {
        for (auto at = script.find(token); at != std::string::npos; at = script.find(token, at + value.size())) {
            script.replace(at, std::string::traits_type::length(token), value);
        }
    }
    return script;
}

}  // namespace

const std::string& updateSwapScript() {
    static const std::string script = buildScript();
    return script;
}

std::vector<std::string> updateSwapArguments(const std::filesystem::path& script, const std::filesystem::path& appPath,
                                             const std::filesystem::path& newApp, const std::filesystem::path& logPath,
                                             const std::filesystem::path& desktopLog) {
    return {script.string(),  appPath.string(), newApp.string(), logPath.string(), std::to_string(::getpid()),
            desktopLog.string()};
}

}  // namespace taviro::platform
