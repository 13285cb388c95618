# Installs the Debian packages a step needs, only those that are missing.
# Usage (sourced): ensure_packages build|test ...

QUELLON_PKG_BUILD="cmake g++ make pkg-config libavcodec-dev libavformat-dev libavutil-dev
  libswscale-dev libswresample-dev libavfilter-dev libavdevice-dev"
QUELLON_PKG_TEST="libgtest-dev libgmock-dev ffmpeg"

ensure_packages() {
  local wanted="" group missing=() pkg
  for group in "$@"; do
    case $group in
      build) wanted+=" $QUELLON_PKG_BUILD" ;;
      test) wanted+=" $QUELLON_PKG_TEST" ;;
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
