#!/usr/bin/env bash
# The service journal's costs: appending a record, listing and checking the chain.
set -euo pipefail
cd "$(dirname "$0")/../.."
"${IAP_BUILD_DIR:-build}/bin/journal_bench"
