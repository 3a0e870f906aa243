#!/usr/bin/env bash
# Checks seafold-lpc10's contract: frame counts, WAV in and out, pipes, and
# exit status 2 with one line of error for bad input.
set -u
tool="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
check() { # description, condition...
    local what="$1"; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

# 1000 zero samples: five silence frames, the last 100 samples not encoded.
head -c 2000 /dev/zero > "$dir/zero.raw"
"$tool" encode "$dir/zero.raw" "$dir/zero.lpc"
check "encode exits 0" test $? -eq 0
check "five one-byte silence frames" test "$(od -An -tx1 "$dir/zero.lpc" | tr -d ' \n')" = "7f7f7f7f7f"

# Decoding: 180 samples per frame, raw or WAV, file or pipe.
"$tool" decode "$dir/zero.lpc" "$dir/zero.out"
check "decode gives 5 x 180 samples" test "$(stat -c %s "$dir/zero.out")" -eq 1800
"$tool" decode "$dir/zero.lpc" "$dir/zero.wav"
check "WAV output has a 44-byte header" test "$(stat -c %s "$dir/zero.wav")" -eq 1844
check "WAV output is RIFF/WAVE" test "$(head -c 4 "$dir/zero.wav")" = "RIFF"
"$tool" encode "$dir/zero.wav" "$dir/again.lpc"
check "our WAV reads back as input" cmp -s "$dir/again.lpc" "$dir/zero.lpc"
"$tool" encode - - < "$dir/zero.raw" | "$tool" decode - - > "$dir/pipe.out"
check "pipes give the same samples" test "$(stat -c %s "$dir/pipe.out")" -eq 1800

# Bad input: one line on standard error, status 2.
bad() { # description, args...
    local what="$1"; shift
    "$tool" "$@" 2> "$dir/err" > /dev/null
    local status=$?
    check "$what: status 2" test $status -eq 2
    check "$what: one line of error" test "$(wc -l < "$dir/err")" -eq 1
}
head -c 3 /dev/zero > "$dir/odd.raw"
bad "odd byte count" encode "$dir/odd.raw" "$dir/x"
{ printf 'RIFF\x24\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x02\x00\x40\x1f\x00\x00\x00\x7d\x00\x00\x04\x00\x10\x00'
  printf 'data\x00\x00\x00\x00'; } > "$dir/stereo.wav"
bad "stereo WAV" encode "$dir/stereo.wav" "$dir/x"
bad "unreadable file" encode "$dir/missing.raw" "$dir/x"
bad "unknown command" transcode "$dir/zero.raw" "$dir/x"

exit $((failures > 0))
