#!/bin/sh
# Installs every Debian package that building, testing and running Velm needs.
# Idempotent: when everything is present it only asks dpkg and returns.
set -eu

PACKAGES="
build-essential cmake ninja-build ccache pkg-config clang libclang-rt-14-dev
qtbase5-dev libqt5sql5-sqlite qtdeclarative5-dev qtquickcontrols2-5-dev
libqt5svg5-dev qtpdf5-dev qttools5-dev qttools5-dev-tools qttranslations5-l10n
qml-module-qtquick2 qml-module-qtquick-controls2 qml-module-qtquick-controls
qml-module-qtquick-layouts qml-module-qtquick-window2 qml-module-qtquick-dialogs
qml-module-qtqml-models2 qml-module-qtqml-statemachine qml-module-qtquick-shapes
qml-module-qtgraphicaleffects qml-module-qt-labs-platform qml-module-qt-labs-settings
libsodium-dev libssl-dev libexif-dev libglib2.0-dev libraw20 libraw-dev
p7zip-full xvfb xauth imagemagick iproute2 tcpdump nftables python3 coturn openssl
openssh-client openssh-server rsync
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done

[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing
