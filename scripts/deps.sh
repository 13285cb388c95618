# Installs the Debian packages a step needs, only those that are missing.
# Usage (sourced): ensure_packages build|test|gui ...
#   build: compilers (and a compiler cache), the media libraries' headers, Qt 6 (widgets, multimedia,
#          the offscreen and X11 platform plugins, Qt's own Chinese texts, lupdate/lrelease
#          and their CMake functions for the window's English translation), a CJK
#          font for the captions (also the hooks' stand-in font) and Imlib2 for
#          the hook libraries
#   test:  GoogleTest and the ffmpeg command-line tools (the tests' oracle)
#   gui:   a virtual X server for screenshots
#   fuzz:  clang and its runtimes (libFuzzer, the sanitizers) for tests/fuzz

QUELLON_PKG_BUILD="cmake g++ make ccache pkg-config libavcodec-dev libavformat-dev libavutil-dev
  libswscale-dev libswresample-dev libavfilter-dev libavdevice-dev
  qt6-base-dev qt6-multimedia-dev qt6-qpa-plugins qt6-translations-l10n fonts-wqy-microhei
  qt6-l10n-tools qt6-tools-dev
  libimlib2-dev libtag1-dev libcue-dev libuchardet-dev libflac-dev"
QUELLON_PKG_TEST="libgtest-dev libgmock-dev ffmpeg"
QUELLON_PKG_GUI="xvfb xauth"
QUELLON_PKG_FUZZ="clang libclang-rt-14-dev"

ensure_packages() {
  local wanted="" group missing=() pkg
  for group in "$@"; do
    case $group in
      build) wanted+=" $QUELLON_PKG_BUILD" ;;
      test) wanted+=" $QUELLON_PKG_TEST" ;;
      gui) wanted+=" $QUELLON_PKG_GUI" ;;
      fuzz) wanted+=" $QUELLON_PKG_FUZZ" ;;
    esac
  done
  for pkg in $wanted; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  ((${#missing[@]} == 0)) && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}
