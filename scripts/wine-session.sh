# Sourced: makes sure the build's Wine prefix exists and keeps one wineserver
# alive for the session, so every Wine start is fast. wine_session_end stops it.
build_dir=$(cd "${1:-build}" && pwd)
export MIRQ_WINEPREFIX="$build_dir/wineprefix"
"$build_dir/wine-run.sh" cmd /c exit >/dev/null 2>&1
"$build_dir/wine-run.sh" --wineserver -p 60 2>/dev/null
wine_session_end() { "$build_dir/wine-run.sh" --wineserver -k 2>/dev/null; true; }
