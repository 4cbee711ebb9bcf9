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
note() {
  echo "$1 $(date)"
  if [ -n "$DESKTOP_LOG" ]; then
    printf '[%s] %s\n' "$(/usr/bin/date -u +%Y-%m-%dT%H:%M:%SZ)" "$1" >>"$DESKTOP_LOG" || true
  fi
}
start_installed() {
  /usr/bin/setsid "$APP_PATH/Contents/MacOS/Taviro" </dev/null >/dev/null 2>&1 9>&- &
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
rollback() {
  status=$?
  echo "update failed status=$status line=${LINENO} $(date)"
  if [ ! -d "$APP_PATH" ] && [ -d "$BACKUP_APP" ]; then /bin/mv "$BACKUP_APP" "$APP_PATH" || true; fi
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
for _ in $(/usr/bin/seq 1 "$WAIT"); do
  old_running || break
  /bin/sleep 1
done
if old_running; then
  echo "the old version still runs after $WAIT s; nothing changed $(date)"
  exit 1
fi
# A run killed between two renames left only the backup.
if [ ! -d "$APP_PATH" ] && [ -d "$BACKUP_APP" ]; then /bin/mv "$BACKUP_APP" "$APP_PATH"; fi
trap rollback ERR
/bin/rm -rf "$TMP_APP" "$BACKUP_APP" "$PROOF"
/bin/cp -a "$NEW_APP" "$TMP_APP"
if [ -L "$TMP_APP/Contents/MacOS/Taviro" ] || [ ! -f "$TMP_APP/Contents/MacOS/Taviro" ] || [ ! -x "$TMP_APP/Contents/MacOS/Taviro" ]; then
  echo "the new package's Contents/MacOS/Taviro is not an executable file; the installed version stays"
  false
fi
if [ -d "$APP_PATH" ]; then
  if "$TMP_APP/Contents/MacOS/taviro-exchange" "$TMP_APP" "$APP_PATH"; then
    /bin/mv "$TMP_APP" "$BACKUP_APP"
  else
    status=$?
    [ "$status" = @UNSUPPORTED@ ] || (exit "$status")
    echo "this file system cannot exchange the packages in one step: two renames instead"
    /bin/mv "$APP_PATH" "$BACKUP_APP"
    /bin/mv "$TMP_APP" "$APP_PATH"
  fi
else
  /bin/mv "$TMP_APP" "$APP_PATH"
fi
trap - ERR
# The new version proves that it starts by loading its first page; until then the backup stays.
@PROOF_VARIABLE@="$PROOF" /usr/bin/setsid "$APP_PATH/Contents/MacOS/Taviro" </dev/null >/dev/null 2>&1 9>&- &
NEW_PID=$!
for _ in $(/usr/bin/seq 1 $((WAIT * 5))); do
  if [ -e "$PROOF" ] || ! running "$NEW_PID"; then break; fi
  /bin/sleep 0.2
done
if [ -e "$PROOF" ] || [ ! -d "$BACKUP_APP" ]; then
  # The new version is in place: a backup that will not go is no reason to roll it back.
  /bin/rm -rf "$BACKUP_APP" || echo "warning: could not remove $BACKUP_APP"
  retire
  echo "finish update $(date)"
  exit 0
fi
if running "$NEW_PID"; then
  reason="it showed no page within $WAIT s"
  kill -TERM -- "-$NEW_PID" 2>/dev/null || true
  for _ in 1 2 3 4 5 6; do running "$NEW_PID" || break; /bin/sleep 0.5; done
  kill -KILL -- "-$NEW_PID" 2>/dev/null || true
else
  reason="it ended before showing a page"
fi
wait "$NEW_PID" 2>/dev/null || true
# The previous package's own exchange tool: the one of the refused package is not trusted.
if "$BACKUP_APP/Contents/MacOS/taviro-exchange" "$BACKUP_APP" "$APP_PATH"; then
  /bin/rm -rf "$BACKUP_APP" || true
else
  status=$?
  if [ "$status" != @UNSUPPORTED@ ] && [ "$status" != 127 ]; then
    note "update of version=$VERSION could not be rolled back (status $status); the new version stays"
    exit 1
  fi
  /bin/rm -rf "$TMP_APP"
  /bin/mv "$APP_PATH" "$TMP_APP"
  /bin/mv "$BACKUP_APP" "$APP_PATH"
  /bin/rm -rf "$TMP_APP" || true
fi
refuse
start_installed
note "update rolled back version=$VERSION: $reason; the previous version is started again"
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
