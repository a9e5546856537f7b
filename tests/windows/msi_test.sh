#!/bin/sh
# The Windows package as an operator uses it.
#   msi_test.sh tables MSI
#     reads its tables back with msiinfo: the DLL and its pointer file under
#     Program Files, the spool root and its six folders under ProgramData, and
#     the pointer file's bytes.
#   msi_test.sh install MSI PREFIX REPLAY
#     installs it into the Wine prefix with msiexec, has the replay host load
#     the installed DLL through its installed pointer file and answer a new
#     request and its poll, then uninstalls it: the DLL goes, the spool's data
#     stay. The spool root is removed afterwards, on every path.
set -eu

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

tables() {
  msi=$1
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  for table in File Component Directory CreateFolder; do
    # Rows come with CR LF line ends.
    msiinfo export "$msi" "$table" | tr -d '\r' >"$work/$table" || fail "msiinfo export $table"
  done
  # Rows are tab-separated; the first two lines are column names and types.
  grep -q "^DudarovuvaduDll	ExtensionDll	dudarovuvadu.dll	" "$work/File" \
    || fail "no dudarovuvadu.dll: $(cat "$work/File")"
  grep -q "^DudarovuvaduDir	PointerFile	dudarovuvadu.dir	" "$work/File" \
    || fail "no pointer file: $(cat "$work/File")"
  grep -q "^ExtensionDll	.*	INSTALLDIR	" "$work/Component" || fail "DLL not in INSTALLDIR"
  grep -q "^PointerFile	.*	INSTALLDIR	" "$work/Component" || fail "pointer file not beside the DLL"
  grep -q "^INSTALLDIR	VendorFolder	Dudarovuvadu$" "$work/Directory" || fail "INSTALLDIR"
  grep -q "^VendorFolder	ProgramFiles64Folder	Quorvel$" "$work/Directory" \
    || fail "the DLL is not under Program Files"
  grep -q "^SpoolVendorFolder	CommonAppDataFolder	Quorvel$" "$work/Directory" \
    || fail "the spool root is not under ProgramData"
  grep -q "^SPOOLROOT	SpoolRoot$" "$work/CreateFolder" || fail "the spool root is not created"
  for folder in in out traces post rights events; do
    id=$(awk -F '	' -v name="$folder" '$2 == "SPOOLROOT" && $3 == name { print $1 }' "$work/Directory")
    [ -n "$id" ] || fail "no folder $folder under the spool root"
    grep -q "^$id	" "$work/CreateFolder" || fail "folder $folder is not created"
  done
  mkdir "$work/extract"
  msiextract -C "$work/extract" "$msi" >/dev/null || fail "msiextract"
  pointer=$(find "$work/extract" -name dudarovuvadu.dir | head -n 1)
  [ -n "$pointer" ] || fail "pointer file not extracted"
  printf 'C:\\ProgramData\\Quorvel\\Dudarovuvadu\r\n' >"$work/expected"
  cmp -s "$pointer" "$work/expected" || fail "pointer file holds: $(od -c "$pointer")"
  echo "PASS: tables of $msi"
}

install() {
  msi=$1
  export WINEPREFIX="$2" WINEDEBUG=-all
  replay=$3
  drive="$WINEPREFIX/drive_c"
  installed="$drive/Program Files/Quorvel/Dudarovuvadu"
  spool="$drive/ProgramData/Quorvel/Dudarovuvadu"
  windows_msi=$(winepath -w "$msi")
  work=$(mktemp -d)
  cleanup() {
    wine msiexec /x "$windows_msi" /qn >/dev/null 2>&1 || true
    rm -rf "$spool" "$work"
    rmdir "$(dirname "$spool")" "$(dirname "$installed")" 2>/dev/null || true
  }
  trap cleanup EXIT
  # A run stopped half-way may have left the package installed.
  cleanup
  work=$(mktemp -d)

  wine msiexec /i "$windows_msi" /qn || fail "msiexec /i exited with $?"
  [ -f "$installed/dudarovuvadu.dll" ] || fail "no $installed/dudarovuvadu.dll"
  [ -f "$installed/dudarovuvadu.dir" ] || fail "no pointer file beside the DLL"
  for folder in in out traces post rights events; do
    [ -d "$spool/$folder" ] || fail "no spool folder $folder"
  done

  wine "$replay" --gtest_filter='*InstalledModule*' \
    --installed 'C:\Program Files\Quorvel\Dudarovuvadu\dudarovuvadu.dll' >"$work/replay.log" 2>&1 \
    || { cat "$work/replay.log" >&2; fail "the replay of the installed DLL failed"; }
  cat "$work/replay.log"
  grep -q 'PASSED.* 1 test' "$work/replay.log" || fail "the replay did not run its case"
  if grep -q 'SKIPPED' "$work/replay.log"; then fail "the replay skipped its case"; fi

  wine msiexec /x "$windows_msi" /qn || fail "msiexec /x exited with $?"
  [ ! -e "$installed/dudarovuvadu.dll" ] || fail "the uninstall left the DLL"
  [ ! -e "$installed/dudarovuvadu.dir" ] || fail "the uninstall left the pointer file"
  [ -f "$spool/dudarovuvadu.cnt.in.txt" ] || fail "the uninstall removed the spool's counter"
  [ -n "$(ls "$spool/out")" ] || fail "the uninstall removed the spool's answers"
  echo "PASS: installed, served and uninstalled $msi"
}

[ $# -ge 2 ] || fail "usage: msi_test.sh tables MSI | install MSI PREFIX REPLAY"
mode=$1
shift
case "$mode" in
  tables) tables "$@" ;;
  install) [ $# -eq 3 ] || fail "install needs MSI PREFIX REPLAY"; install "$@" ;;
  *) fail "unknown mode $mode" ;;
esac
