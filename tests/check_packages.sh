#!/bin/bash
# Checks of the built packages that need no Windows:
#   check_packages.sh tables MSI x86|x64   the tables, with msiinfo
#   check_packages.sh shipping MSI         installs the shipping package into
#                                          a throwaway Wine prefix: files in
#                                          the 32-bit Program Files, values
#                                          pointing there, on a machine with
#                                          or without Wine's 32-bit half (the
#                                          prefix is deleted; the win32 build's
#                                          test_installer runs and removes it)
set -uo pipefail
mode="$1"; msi="$2"
root=$(cd "$(dirname "$0")/.." && pwd)
failures=0
check() {   # check DESCRIPTION ACTUAL EXPECTED
  if [ "$2" == "$3" ]; then echo "ok   $1"; else echo "FAIL $1: got [$2], want [$3]"; failures=$((failures + 1)); fi
}
[ -f "$msi" ] || { echo "FAIL no package $msi (build the win32 and win64 presets)"; exit 1; }

row() {   # row TABLE KEY: the table's row whose first column is KEY
  msiinfo export "$msi" "$1" | tr -d '\r' | awk -F'\t' -v k="$2" 'NR > 3 && $1 == k'
}

if [ "$mode" == tables ]; then
  platform="$3"
  version=$(awk '/#define TARSEL_VERSION_(MAJOR|MINOR|PATCH|BUILD) /{v = v (v == "" ? "" : ".") $3} END {print v}' \
            "$root/common/version.h")
  template=$([ "$platform" == x86 ] && echo "Intel;1033" || echo "x64;1033")
  check "platform" "$(msiinfo suminfo "$msi" | sed -n 's/^Template: //p')" "$template"
  check "version from common/version.h" "$(row Property ProductVersion | cut -f2)" "$version"
  check "product" "$(row Property ProductName | cut -f2) by $(row Property Manufacturer | cut -f2)" "Tarsel by Mervalt"
  check "upgrade code" "$(row Property UpgradeCode | cut -f2)" "{4E1B7C90-2D3A-4F58-B6E1-7A9C0D2F3B45}"
  check "the two programs and nothing else" \
        "$(msiinfo export "$msi" File | tail -n +4 | cut -f3 | sort | tr '\n' ' ')" \
        "PyxUserInterface.exe PyxVideoServer.exe "
  check "folder" "$(row Directory INSTALLDIR | cut -f2,3)" \
        "$([ "$platform" == x86 ] && echo ProgramFilesFolder || echo ProgramFiles64Folder)	Tarsel"
  check "shortcut" "$(row Shortcut PlayerShortcut | cut -f2,3,5)" \
        "ProgramMenuFolder	Tarsel Player	[INSTALLDIR]PyxUserInterface.exe"
  values=$(msiinfo export "$msi" Registry | tr -d '\r' | awk -F'\t' '$2 == 1 && $3 ~ /InstallationPath/ {print $4 "=" $5}' | sort | tr '\n' ';')
  check "installation values" "$values" 'GuiApplication=PyxUserInterface.exe;GuiCommandLine= "%1";Path=[INSTALLDIR];ServerApplication=PyxVideoServer.exe;'
  check "Active Setup command" \
        "$(msiinfo export "$msi" Registry | tr -d '\r' | awk -F'\t' '$4 == "StubPath" {print $5}')" \
        "msiexec.exe /i [ProductCode] REINSTALL=ALL REINSTALLMODE=u /qn"
  # 0x4000 terminal-server aware, 0x400 deferred, 0x40 continue; 18 exe, 1 dll.
  check "server's uninstall action" "$(row CustomAction ServerUninstall | cut -f2-4)" "17490	ServerExe	uninstall"
  check "file type removal" "$(row CustomAction RemoveFileType | cut -f2-4)" "17473	TarselSetup	RemoveFileType"
  check "programs ended first" "$(row CustomAction EndPrograms | cut -f2-4)" "65	TarselSetup	EndPrograms"
  seq() { row InstallExecuteSequence "$1" | cut -f3; }
  check "order: end programs, validate, server uninstall, remove files" \
        "$(( $(seq EndPrograms) < $(seq InstallValidate) && $(seq InstallInitialize) < $(seq ServerUninstall) \
             && $(seq ServerUninstall) < $(seq RemoveFileType) && $(seq RemoveFileType) < $(seq RemoveFiles) ))" 1
  check "server uninstall not on upgrade" "$(row InstallExecuteSequence ServerUninstall | cut -f2)" \
        'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE'
elif [ "$mode" == shipping ]; then
  prefix=$(mktemp -d /tmp/tarsel-shipping.XXXXXX)
  trap 'WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1; rm -rf "$prefix" "$prefix.lock"' EXIT
  export WINEPREFIX="$prefix" WINEDEBUG=-all
  "$root/tools/wine-prefix.sh" "$prefix"
  start=$(date +%s%N)
  wine msiexec /i "$(winepath -w "$msi")" /qn /l*v "$(winepath -w "$prefix/install.log")" >/dev/null 2>&1
  check "silent install" "$?" 0
  echo "     install took $(( ($(date +%s%N) - start) / 1000000 )) ms"
  folder="$prefix/drive_c/Program Files (x86)/Tarsel"
  check "files in the 32-bit Program Files" "$(ls "$folder" 2>&1 | tr '\n' ' ')" "PyxUserInterface.exe PyxVideoServer.exe "
  check "32-bit programs" "$(file -b "$folder/PyxVideoServer.exe" | cut -d' ' -f1-2)" "PE32 executable"
  query() { wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
  key='HKCU\Software\Mervalt\Tarsel\InstallationPath'
  check "Path" "$(query "$key" Path)" 'C:\Program Files (x86)\Tarsel\'
  check "ServerApplication" "$(query "$key" ServerApplication)" PyxVideoServer.exe
  check "Active Setup entry in the 32-bit view" \
        "$(query 'HKLM\Software\WOW6432Node\Microsoft\Active Setup\Installed Components\{6F3A2C55-8E41-4B0D-9A7C-1D2E3F405162}' IsInstalled)" 0x1
else
  echo "usage: $0 tables MSI x86|x64 | shipping MSI"; exit 2
fi
[ "$failures" -eq 0 ] && echo "all package checks passed" || { echo "$failures package check(s) failed"; exit 1; }
