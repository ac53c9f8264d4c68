#!/bin/bash
# Builds the Windows installer with makensis for the given MirqFlasher.exe and,
# with --test, installs it silently under Wine, checks the files, uninstalls
# and checks they are gone.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
exe=$(readlink -f "$1")
outfile=$(readlink -f "$2")
makensis -V2 -DEXE="$exe" -DOUTFILE="$outfile" "$root/installer/MirqFlasher.nsi" >/dev/null || { echo "makensis failed"; exit 1; }
echo "package: $outfile"
[ "${3:-}" = --test ] || exit 0

run="${WINE_RUN:?WINE_RUN must name wine-run.sh of the build}"
prefix="${MIRQ_WINEPREFIX:?}"
dir="$prefix/drive_c/MirqInstallTest"
rm -rf "$dir"
"$run" "$outfile" /S /D=C:\\MirqInstallTest; rc=$?
fail=0
[ $rc -eq 0 ] || { echo "installer exit code $rc"; fail=1; }
for f in MirqFlasher.exe uninstall.exe tools/README.txt; do
    [ -f "$dir/$f" ] || { echo "not installed: $f"; fail=1; }
done
cmp -s "$exe" "$dir/MirqFlasher.exe" || { echo "installed program differs"; fail=1; }
shortcut() { find "$prefix/drive_c" -name 'Mirq一键刷机助手.lnk' 2>/dev/null | grep -q .; }
shortcut || { echo "no start-menu shortcut"; fail=1; }
"$run" "$dir/uninstall.exe" /S _?=C:\\MirqInstallTest
rm -f "$dir/uninstall.exe"  # with _?= the uninstaller cannot delete itself
sleep 1
left=$(find "$dir" -type f 2>/dev/null)
[ -z "$left" ] || { echo "left after uninstall: $left"; fail=1; }
shortcut && { echo "shortcut left after uninstall"; fail=1; }
rm -rf "$dir"
[ $fail -eq 0 ] && echo "installer test: installed, checked, uninstalled"
exit $fail
