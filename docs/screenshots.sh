#!/bin/bash
# Paints docs/solvane.png and docs/castrel.png, the windows the user's README
# shows: each window at the end of a whole update against the device simulator
# (solvane over COM1, castrel over USB), as the Qt window suite saves it under the
# offscreen platform.
#   docs/screenshots.sh [BUILD_DIR]      (default build; needs ui_qt_e2e_tests built)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
shots=$(mktemp -d)
trap 'rm -rf "$shots"' EXIT
IAP_SCREENSHOT_DIR=$shots QT_QPA_PLATFORM=offscreen "$build/bin/ui_qt_e2e_tests" \
  --gtest_filter='Examples/QtUpdateE2eRun.*/solvaneOverCom1:Examples/QtUpdateE2eRun.*/castrelOverUsb' >/dev/null
cp "$shots/solvane-com1-updated.png" "$here/solvane.png"
cp "$shots/castrel-usb-updated.png" "$here/castrel.png"
ls -l "$here/solvane.png" "$here/castrel.png"
