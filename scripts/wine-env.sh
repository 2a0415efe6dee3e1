# Sourced by the Wine scripts: the environment of the project's own Wine prefix.
# WINE_BUILD_DIR is the build tree; the prefix lives inside it, never in ~/.wine.
: "${WINE_BUILD_DIR:?}"
export WINEPREFIX="$WINE_BUILD_DIR/wineprefix"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LANG=ja_JP.UTF-8
export LC_ALL=ja_JP.UTF-8
unset WINESERVER || true

