#!/usr/bin/env bash
# Runs the benchmarks on fabricated trees served through umockdev.
set -euo pipefail
build=${1:-build}
umockdev-wrapper "$build/bench/class_attr_bench"
