#!/usr/bin/env bash
# Installs everything Ostrevin needs to build, run and test on Debian 12.
#   scripts/install-deps.sh              to build and run (scripts/run.sh)
#   scripts/install-deps.sh --for-tests  also the sound servers the tests
#                                        start privately (scripts/test.sh)
# The sound servers are left out of the first: on a desktop, installing
# pipewire-pulse or pulseaudio can change which server the user's next login
# starts. The program uses whichever server the desktop runs.
set -euo pipefail
sound_servers=()
if [ "${1:-}" = --for-tests ]; then
  sound_servers=(pulseaudio pipewire pipewire-pulse wireplumber dbus-daemon dbus-session-bus-common)
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev \
  qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev libqt6opengl6-dev libgl-dev \
  libusb-1.0-0-dev libumockdev-dev umockdev \
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libavfilter-dev ffmpeg \
  libgtest-dev libgmock-dev libbenchmark-dev \
  xvfb xauth x11-utils openbox libx11-dev libxtst-dev libxcb1-dev libgl1-mesa-dri mesa-utils python3 \
  libegl1 libegl-mesa0 libgles2 \
  pulseaudio-utils libpulse-dev "${sound_servers[@]}" \
  libglib2.0-dev \
  desktop-file-utils appstream dpkg-dev file \
  gstreamer1.0-tools gstreamer1.0-plugins-base-apps gstreamer1.0-plugins-good gstreamer1.0-libav mediainfo util-linux
