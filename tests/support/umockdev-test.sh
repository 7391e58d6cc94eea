#!/bin/sh
# Runs a test program in umockdev's test bed (the preload library that redirects /sys and
# /dev). Under AddressSanitizer that library comes before the sanitizer's runtime, which
# ASan accepts when told to.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" exec umockdev-wrapper "$@"
