# Wine for the Windows test suite, headless and quiet. Source it with the
# build folder, then start wine before ctest and stop it afterwards:
#
#   . .ci/wine-env.sh build-win && wine_up
#   ctest --test-dir build-win --output-on-failure -j2
#   wine_down
#
# The prefix (about 700 MB) lives in the build folder: removing the build
# removes it, and two checkouts never share a wine server.
wine_build="${1:-build-win}"
mkdir -p "$wine_build"
export WINEPREFIX="${WINEPREFIX:-$(cd "$wine_build" && pwd)/wineprefix}"
export WINEARCH=win64
export WINEDEBUG=-all                      # also silences the "wine32 is missing" hint
export WINEDLLOVERRIDES="mscoree,mshtml="  # never offer to install Mono or Gecko
unset DISPLAY WAYLAND_DISPLAY              # no windows, no dialogs

wine_down() {
    wineserver -k 2>/dev/null || true   # ends the server and every process of this prefix
    wineserver -w 2>/dev/null || true   # and waits until they are gone
}

wine_up() {
    mkdir -p "$WINEPREFIX"
    wine_down
    # A persistent server first: wineboot would otherwise start one that
    # exits when idle, and "-p" would then fail as already running.
    wineserver -p </dev/null >/dev/null 2>&1 || { echo "wineserver -p failed"; return 1; }
    # Make or update the prefix. Its helper processes live as long as the
    # server and keep whatever stderr they were given: a file, never a pipe
    # that ctest would wait on until the test's timeout.
    wineboot -i </dev/null >"$WINEPREFIX/wineboot.log" 2>&1 || { cat "$WINEPREFIX/wineboot.log"; return 1; }
    wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1   # settled: a program runs
}
