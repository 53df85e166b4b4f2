#!/usr/bin/env bash
# Image pipeline against srec_cat on 48 KiB, 1 MiB and 16 MiB images.
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${IAP_BUILD_DIR:-build}"
"$build/bin/image_bench"
