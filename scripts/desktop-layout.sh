# Sourced by install, uninstall and package: what the build lays out under build/share and where the
# application goes. Paths of the desktop files are relative to a data folder (~/.local/share,
# /usr/share).
taviro_application_id=com.taviro.desktop
taviro_desktop_files=(
  "applications/$taviro_application_id.desktop"
  "metainfo/$taviro_application_id.metainfo.xml"
  "icons/hicolor/scalable/apps/$taviro_application_id.svg"
  "icons/hicolor/48x48/apps/$taviro_application_id.png"
  "icons/hicolor/128x128/apps/$taviro_application_id.png"
  "icons/hicolor/256x256/apps/$taviro_application_id.png"
)
taviro_executable_in_package=Contents/MacOS/Taviro

# The user's data folder: $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
taviro_user_data_home() {
  if [[ "${XDG_DATA_HOME:-}" == /* ]]; then printf '%s\n' "$XDG_DATA_HOME"; else printf '%s\n' "$HOME/.local/share"; fi
}

# Checks that a build has the package and the desktop files; says what to run when not.
taviro_check_build() {
  local build=$1 file
  [[ -x "$build/Taviro.app/$taviro_executable_in_package" ]] || { echo "$build/Taviro.app is missing: run scripts/build first" >&2; return 1; }
  for file in "${taviro_desktop_files[@]}"; do
    [[ -f "$build/share/$file" ]] || { echo "$build/share/$file is missing: run scripts/build first" >&2; return 1; }
  done
}

# The Exec value for an executable path: quoted, and refused when it holds a character that the
# desktop entry format would need escaped twice.
taviro_exec_value() {
  local path=$1
  if [[ "$path" == *[\"\`\$\\%]* || "$path" == *$'\n'* ]]; then
    echo "cannot install under $path: the path holds a character a desktop entry cannot name plainly" >&2
    return 1
  fi
  printf '"%s"\n' "$path"
}
