#!/usr/bin/env bash
# Installs the Debian packages Kestrel needs to build, test, fuzz and benchmark.
# Idempotent: packages already present are skipped, and apt is only touched when
# something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev git
  libxml2-dev libboost-regex-dev libpcre2-dev libre2-dev libcurl4-openssl-dev libssl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  curl python3 iproute2 socat
  # dpkg-shlibdeps: the Debian package's dependencies (cpack -G DEB)
  dpkg-dev
  lighttpd lighttpd-mod-openssl openssl wrk
  # GStreamer's RTSP server, the camera the RTSP channel tests talk to
  python3-gi gir1.2-gst-rtsp-server-1.0 gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
