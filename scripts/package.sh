#!/bin/bash
# Builds the Windows installer with makensis for the given MirqFlasher.exe and,
# with --test, installs it silently under Wine for the current user, checks
# the files, the uninstall entry and the shortcut, installs again over the
# user's own files, uninstalls and checks that only its own files went.
# The installer is as wide as the program (a 64-bit one gets an amd64
# installer); --x86 instead checks that the program and its installer are
# both 32-bit, as a release must be.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
exe=$(readlink -f "$1")
outfile=$(readlink -f "$2")
# The machine field of a PE file's COFF header (at the offset that 0x3c holds, plus 4).
pe_machine() {
    local at; at=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    od -An -tx2 -j$((at + 4)) -N2 "$1" | tr -d ' '
}
case $(pe_machine "$exe") in
    014c) target=() ;;
    8664) target=(-DTARGET=amd64-unicode) ;;
    *) echo "package: $exe is no x86 or x64 Windows program"; exit 1 ;;
esac
makensis -V2 -DEXE="$exe" -DOUTFILE="$outfile" "${target[@]}" "$root/installer/MirqFlasher.nsi" >/dev/null || { echo "makensis failed"; exit 1; }
echo "package: $outfile"
if [ "${3:-}" = --x86 ]; then
    [ "$(pe_machine "$exe")" = 014c ] && [ "$(pe_machine "$outfile")" = 014c ] ||
        { echo "package: the release must be 32-bit: program $(pe_machine "$exe"), installer $(pe_machine "$outfile")"; exit 1; }
    echo "package: the program and its installer are 32-bit (x86)"
    exit 0
fi
[ "${3:-}" = --test ] || exit 0

run="${WINE_RUN:?WINE_RUN must name wine-run.sh of the build}"
prefix="${MIRQ_WINEPREFIX:?}"
user="$prefix/drive_c/users/$(whoami)"
dir="$user/AppData/Local/Programs/Mirq"     # the per-user default
beside="$user/AppData/Local/Programs/temp"  # a folder of the user's, next to it
menu="$user/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Mirq"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\MirqFlasher'
fail=0
present() { [ -e "$1" ] || { echo "$2"; fail=1; }; }
absent() { [ ! -e "$1" ] || { echo "$2"; fail=1; }; }
value() { "$run" reg query "$key" /v "$1" 2>/dev/null | iconv -f GBK -t UTF-8 | tr -d '\r' | awk -v n="$1" '$1 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'; }
rm -rf "$dir" "$beside"

"$run" "$outfile" /S; rc=$?
[ $rc -eq 0 ] || { echo "installer exit code $rc"; fail=1; }
for f in MirqFlasher.exe uninstall.exe tools/README.txt; do present "$dir/$f" "not installed in the user's folder: $f"; done
cmp -s "$exe" "$dir/MirqFlasher.exe" || { echo "installed program differs"; fail=1; }
present "$menu/Mirq一键刷机助手.lnk" "no shortcut in the user's start menu"
[ "$(value DisplayName)" = "Mirq一键刷机助手" ] || { echo "uninstall entry: DisplayName '$(value DisplayName)'"; fail=1; }
[[ "$(value DisplayVersion)" =~ ^0\.9\.[0-9]+$ ]] || { echo "uninstall entry: DisplayVersion '$(value DisplayVersion)'"; fail=1; }
[ "$(value Publisher)" = Mirq ] || { echo "uninstall entry: Publisher '$(value Publisher)'"; fail=1; }
for v in DisplayIcon EstimatedSize UninstallString; do [ -n "$(value $v)" ] || { echo "uninstall entry: no $v"; fail=1; }; done

# What the user and the program put there; an install over it keeps the user's.
mkdir -p "$dir/temp" "$dir/log" "$beside"
echo adb > "$dir/tools/adb.exe"; echo tool > "$dir/tools/flash_image"; echo rom > "$dir/update.zip"
echo img > "$dir/temp/recovery_crespo.img"; echo log > "$dir/log/MirqFlasher_20261208_0.log"
echo mine > "$dir/temp/notes.txt"; echo mine > "$beside/keep.txt"
"$run" "$outfile" /S
present "$dir/tools/adb.exe" "an install over an earlier one removed tools/adb.exe"

"$run" "$dir/uninstall.exe" /S "_?=$("$run" winepath -w "$dir" 2>/dev/null | tr -d '\r')"
rm -f "$dir/uninstall.exe"  # with _?= the uninstaller cannot delete itself
for f in MirqFlasher.exe tools/README.txt temp/recovery_crespo.img log; do absent "$dir/$f" "left after uninstall: $f"; done
for f in tools/adb.exe tools/flash_image update.zip temp/notes.txt; do present "$dir/$f" "the user's $f was removed"; done
present "$beside/keep.txt" "the folder beside the install was touched"
absent "$menu" "start-menu folder left after uninstall"
[ -z "$(value DisplayName)" ] || { echo "uninstall entry left"; fail=1; }
rm -rf "$dir" "$beside"
[ $fail -eq 0 ] && echo "installer test: per-user install, entry and shortcut checked, reinstall kept the user's files, uninstall removed only its own"
exit $fail
