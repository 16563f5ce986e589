#!/bin/bash
# Packing and unpacking speed and peak memory of quill, next to the platform's own limit (the same
# cipher, hash and zlib calls with nothing around them), OpenSSL's streaming envelopes and gzip -9.
# Prints figures only; it fails only when something could not run or a round trip lost data.
#
# Environment:
#   BENCH_SIZES   file sizes in MiB (default "256 1024"; "16" for a quick check of the script; "none"
#                 for the AES-GCM comparison alone)
#   BENCH_GCM_SIZE  MiB of the AES-256-GCM pack and unpack beside openssl cms (default 1024; "none" skips them)
#   BENCH_ALGS    any of "aes256 3des default" (default all three; default = the packer's settings)
#   BENCH_MODES   any of "plain compressed" (default both)
#   BENCH_BUILD   build tree for quill.exe, platform_limit.exe and the Wine prefix (default <repo>/build-bench)
#   BENCH_QUILL_EXE  a quill.exe to measure instead of the one built there
#   BENCH_FEW_MB  peak memory above Wine's own that still counts as "a few MB" (default 8)
#   BENCH_LARGE   1: also a file past 4 GiB, AES-256, plain and compressed, run once each beside
#                 openssl cms -encrypt -stream and -decrypt (needs about 4x its size of free disk; OpenSSL's
#                 decrypt holds the whole file in memory)
#   BENCH_LARGE_SIZE  MiB of that file (default 5120)
#   BENCH_REPEAT  runs of every timed command and platform-limit measurement; the fastest counts
#                 (default 3: the machine is shared, and a single run mostly measures the others)
set -euo pipefail
root="$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)"
sizes="${BENCH_SIZES:-256 1024}"
[ "$sizes" = none ] && sizes=""
gcm_size="${BENCH_GCM_SIZE:-1024}"
[ "$gcm_size" = none ] && gcm_size=""
algs="${BENCH_ALGS:-aes256 3des default}"
large="${BENCH_LARGE:-0}"
large_size="${BENCH_LARGE_SIZE:-5120}"
[[ "$large_size" =~ ^[1-9][0-9]*$ ]] || { echo "bench: BENCH_LARGE_SIZE must be a positive number" >&2; exit 1; }
modes="${BENCH_MODES:-plain compressed}"
build="${BENCH_BUILD:-$root/build-bench}"
few_mb="${BENCH_FEW_MB:-8}"
repeat="${BENCH_REPEAT:-3}"
[[ "$repeat" =~ ^[1-9][0-9]*$ ]] || { echo "bench: BENCH_REPEAT must be a positive number" >&2; exit 1; }

say() { printf '%s\n' "$*" >&2; }
die() { say "bench: $*"; exit 1; }

# ---------------------------------------------------------------- tools and build
if [ ! -x /usr/bin/time ]; then
    say "bench: installing GNU time"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null || die "cannot install time"
fi
if [[ " $modes " == *" compressed "* ]] && ! command -v pigz >/dev/null; then
    say "bench: installing pigz"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pigz >/dev/null || die "cannot install pigz"
fi
for tool in openssl gzip python3 cmake; do
    command -v "$tool" >/dev/null || die "$tool is missing"
done

limit_exe="$build/platform_limit.exe"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
          -DCMAKE_BUILD_TYPE=Release >/dev/null || die "cmake configure failed"
fi
targets=(platform_limit desktop_keepalive)
[ -n "${BENCH_QUILL_EXE:-}" ] || targets+=(quill)
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null || die "building ${targets[*]} failed"
quill_exe="${BENCH_QUILL_EXE:-$build/quill.exe}"
[ -f "$quill_exe" ] || die "no $quill_exe"

export QUILL_LOCALE=C.UTF-8
. "$root/cmake/wine-env.sh"
. "$root/scripts/xvfb.sh"
prefix="$build/bench-prefix"
export WINEPREFIX="$prefix"

work="$(mktemp -d "$build/bench-work.XXXXXX")"
keepalive_pid=""
# The prefix is the benchmark's own: its persistent server goes with the run.
cleanup() {
    rm -rf "$work"
    if [ -n "$keepalive_pid" ]; then kill "$keepalive_pid" 2>/dev/null || true; fi
    "$QUILL_WINESERVER" -k >/dev/null 2>&1 || true
    quill_stop_xvfb
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Every Windows program here loads the common controls, which bring up Wine's desktop process
# (about 0.2 s) unless one is running; it stops again a second after its last program. On Windows
# the desktop is always there, so one is held open for the whole run: neither the baseline nor a
# timed run pays for starting it. The desktop needs a display, and it takes the one of the program
# that starts it, so the display comes before the prefix's first program.
quill_start_xvfb || die "no display for Wine's desktop"
quill_prepare_prefix "$prefix" || die "no Wine prefix"
$QUILL_FIXED_LAYOUT "$QUILL_WINE" "$build/desktop_keepalive.exe" </dev/null >/dev/null 2>&1 &
keepalive_pid=$!
sleep 1
kill -0 "$keepalive_pid" 2>/dev/null || die "Wine's desktop cannot be held open on display $DISPLAY"

# The program the ./quill launcher runs, started the way it starts it (Z: is the Linux root), but
# without the launcher's per-call prefix checks, which cost seconds and would count as ours.
to_windows() { local p="${1//\//\\}"; printf 'Z:%s' "$p"; }
# Sets quill_run to the command line for quill with these arguments.
quill_command() {
    local a
    quill_run=(timeout 7200 $QUILL_FIXED_LAYOUT "$QUILL_WINE" "$quill_exe")
    for a in "$@"; do
        [[ "$a" == /* ]] && a="$(to_windows "$a")"
        quill_run+=("$a")
    done
}

# Runs a command under GNU time; sets wall (seconds), cpu (user and system seconds) and peak (KiB,
# the largest process).
measure() {
    local log="$work/time.log" user system
    if ! /usr/bin/time -o "$log" -f "%e %M %U %S" "$@" </dev/null >"$work/cmd.out" 2>"$work/cmd.err"; then
        say "bench: failed: $*"
        cat "$work/cmd.out" "$work/cmd.err" >&2
        return 1
    fi
    read -r wall peak user system < <(tail -n 1 "$log")
    cpu="$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')"
}
# Runs a command repeat times (prepare, when given, before every run); keeps the shortest wall
# time, the least CPU time and the largest peak. Every run starts with the disk's pending writes
# done: the gigabyte a limit measurement or the run before has just written would otherwise be
# flushed during this run, and charged to it.
measure_best() {
    local prepare="$1" best_wall="" best_cpu="" best_peak=0 i
    shift
    for ((i = 0; i < repeat; i++)); do
        [ -n "$prepare" ] && $prepare
        sync
        measure "$@" || return 1
        if lower "$wall" "$best_wall"; then best_wall="$wall"; fi
        if lower "$cpu" "$best_cpu"; then best_cpu="$cpu"; fi
        [ "$peak" -gt "$best_peak" ] && best_peak="$peak"
    done
    wall="$best_wall"
    cpu="$best_cpu"
    peak="$best_peak"
}
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { if (s <= 0) s = 0.001; printf "%.1f", b / 1e6 / s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b <= 0) print "-"; else printf "%.2f", a / b }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

# ---------------------------------------------------------------- recipient
# One recipient for the prefix, made once: its certificate goes to pack, its key into the store.
keys="$build/bench-recipient"
if [ ! -f "$prefix/.bench-recipient" ] || [ ! -f "$keys/cert.der" ]; then
    mkdir -p "$keys"
    openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Bench Recipient" -days 3650 \
            -keyout "$keys/key.pem" -out "$keys/cert.pem" 2>/dev/null || die "openssl req failed"
    openssl x509 -in "$keys/cert.pem" -outform DER -out "$keys/cert.der"
    openssl pkcs12 -export -passout pass:test -inkey "$keys/key.pem" -in "$keys/cert.pem" \
            -out "$keys/bench.p12" || die "openssl pkcs12 failed"
    quill_command import "$keys/bench.p12" --password test --provider-type 24
    "${quill_run[@]}" </dev/null >/dev/null ||
        die "quill import failed"
    touch "$prefix/.bench-recipient"
fi

# ---------------------------------------------------------------- inputs
# Random bytes for the plain cases; for the compressed cases every MiB is 512 KiB of repeated text,
# 256 KiB of random letters (about half compressible) and 256 KiB of random bytes.
random_stream() { openssl enc -aes-128-ctr -nosalt -pass pass:bench -pbkdf2 -in /dev/zero 2>/dev/null; }
make_input() {
    local kind="$1" mebibytes="$2" path="$3"
    if [ "$kind" = plain ]; then
        random_stream | head -c $((mebibytes << 20)) >"$path" || true
    else
        random_stream | python3 -c '
import sys
count = int(sys.argv[1])
text = b"".join(b"%06d The packer reads the file in chunks and writes one envelope per file.\n" % i
                for i in range(8000))[:512 * 1024]
letters = bytes(b"etaoinshrdlu \n.,"[i % 16] for i in range(256))
source, out = sys.stdin.buffer, sys.stdout.buffer
for _ in range(count):
    out.write(text)
    out.write(source.read(256 * 1024).translate(letters))
    out.write(source.read(256 * 1024))
' "$mebibytes" >"$path" || true
    fi
    [ "$(stat -c %s "$path")" -eq $((mebibytes << 20)) ] || die "could not make $path"
}

# ---------------------------------------------------------------- platform limits
# "alg/MiB/mode/op" -> MB/s for the ciphers, "zlibLEVEL/op" for the current input file, and
# "case/zlib9/op" for the case being run. A case's limits are measured once before each of its timed
# runs (see before_pack_run): the run and its limit then see the same machine, however the load of a
# shared machine drifts over a long benchmark. Like the timed commands, every limit is the fastest of
# its measurements.
declare -A limit
keep_fastest() {
    local key="$1" value="$2"
    if [ -z "${limit[$key]:-}" ] || awk -v a="$value" -v b="${limit[$key]}" 'BEGIN { exit !(a + 0 > b + 0) }'; then
        limit[$key]="$value"
    fi
}
# One cipher measurement in one direction (encrypt or decrypt), with and without SHA-1.
limit_cipher_once() {
    local alg="$1" mebibytes="$2" mode="$3" op="$4" line key
    timeout 3600 $QUILL_FIXED_LAYOUT "$QUILL_WINE" "$limit_exe" cipher "$alg" "$mebibytes" "$op" >"$work/limit.out" </dev/null ||
        die "platform_limit cipher $alg $op failed"
    while read -r line; do
        [[ "$line" == *" mbps="* ]] || continue  # a cipher CNG does not offer here
        key="$(sed -n 's/.* op=\([^ ]*\) .*/\1/p' <<<"$line")"
        keep_fastest "$alg/$mebibytes/$mode/$key" "$(sed -n 's/.* mbps=\([0-9.]*\).*/\1/p' <<<"$line")"
        keep_fastest "$alg/$mebibytes/$mode/$key/cpu" "$(sed -n 's/.* cpumbps=\([0-9.]*\).*/\1/p' <<<"$line")"
    done <"$work/limit.out"
}
# One zlib measurement of the file (deflate and inflate), kept under the key prefix given.
limit_zlib_once() {
    local level="$1" path="$2" prefix="${3:-}" line op
    timeout 3600 $QUILL_FIXED_LAYOUT "$QUILL_WINE" "$limit_exe" zlib "$level" "$(to_windows "$path")" >"$work/limit.out" </dev/null ||
        die "platform_limit zlib failed"
    while read -r line; do
        op="$(sed -n 's/.*zlib=\([a-z]*\) .*/\1/p' <<<"$line")"
        keep_fastest "${prefix}zlib$level/$op" "$(sed -n 's/.* mbps=\([0-9.]*\).*/\1/p' <<<"$line")"
        limit[zlib$level/out]="$(sed -n 's/.* out=\([0-9]*\).*/\1/p' <<<"$line")"
    done <"$work/limit.out"
}
# One copy of the file (read and written in 256 KiB pieces), kept as "case/copy": the disk's rate
# for a pass over it, printed beside the cipher's limit. It is not the limit: on a machine with
# plenty of memory it mostly measures how much the kernel holds back writes at that moment, which
# swings by a factor of eight between measurements.
limit_copy_once() {
    local path="$1" line
    line="$(timeout 3600 $QUILL_FIXED_LAYOUT "$QUILL_WINE" "$limit_exe" copy "$(to_windows "$path")" </dev/null)" ||
        die "platform_limit copy failed"
    keep_fastest case/copy "$(sed -n 's/.* mbps=\([0-9.]*\).*/\1/p' <<<"$line")"
}
run_limit_zlib() {
    local level="$1" path="$2" i
    unset "limit[zlib$level/deflate]" "limit[zlib$level/inflate]"
    for ((i = 0; i < repeat; i++)); do limit_zlib_once "$level" "$path"; done
}
# The whole work at the platform's speed: deflate over the file, cipher over what deflate left.
combined_rate() {
    awk -v b="$1" -v z="$2" -v o="$3" -v c="$4" 'BEGIN { if (z <= 0 || c <= 0) { print 0; exit }
        t = b / (z * 1e6) + o / (c * 1e6); printf "%.1f", b / 1e6 / t }'
}

# ---------------------------------------------------------------- the runs
# Every repeated run starts from an empty output folder: quill never overwrites. The folder is
# emptied last before the run, after the disk's pending writes: this VM hands the memory of freed
# pages back to its host within seconds, and writing a gigabyte into memory the host must give
# again cost a run up to 1.6 s of system time. OpenSSL's runs overwrite their output, which reuses
# the pages at once; emptied right before, quill's runs reuse them in the same way.
empty_packed() { sync; rm -rf "$work/packed"; mkdir -p "$work/packed"; }
empty_unpacked() { sync; rm -rf "$work/unpacked"; mkdir -p "$work/unpacked"; }
# Before every timed run of a case: the same work at the platform's limit (calg, size, mode and
# input are the case's). The inflate limit of a compressed unpack comes from the zlib measurements
# taken before the case's pack runs: measuring it needs a whole deflate pass, ten times its own time.
before_pack_run() {
    limit_cipher_once "$calg" "$size" "$mode" encrypt
    if [ "$mode" = compressed ]; then limit_zlib_once 9 "$input" case/; else limit_copy_once "$input"; fi
    empty_packed
}
before_unpack_run() {
    limit_cipher_once "$calg" "$size" "$mode" decrypt
    if [ "$mode" = plain ]; then limit_copy_once "$envelope"; fi
    empty_unpacked
}

openssl_cipher() {
    case "$1" in
        aes256) echo -aes256 ;;
        3des) echo -des3 ;;
        default) echo -rc2-40 ;;  # the packer's default settings: RC2 with 40-bit keys
    esac
}
limit_cipher() { [ "$1" = default ] && echo rc2-40 || echo "$1"; }
# The limit of the path the engine takes: CNG for AES (-cng rows), the provider for the others.
engine_path() { [ "$1" = aes256 ] && echo -cng || true; }
ossl_providers=(-provider legacy -provider default)  # RC2 lives in OpenSSL's legacy provider

rows=()
limit_notes=()  # what each uncompressed case's limit was made of
format='%-46s %7s %8s %9s %7s %7s %15s %6s %7s %6s %11s %6s %7s'
row() { rows+=("$(printf "$format" "$@")"); }
header="$(printf "$format" case MB/s netMB/s passMB/s peakMB +wineMB limitMB/s netRat passRat cpuRat opensslMB/s ratio \
    osslMB)"

# Target bookkeeping: worst figures seen.
worst_pack_ratio=""; worst_pack_case=""
worst_unpack_ratio=""; worst_unpack_case=""
worst_pack_net=""; worst_pack_net_case=""
worst_unpack_net=""; worst_unpack_net_case=""
slowest_vs_openssl=""; slowest_vs_openssl_case=""
worst_pack_cpu=""; worst_pack_cpu_case=""
worst_unpack_cpu=""; worst_unpack_cpu_case=""
declare -A extra_by_size
max_extra=0
lower() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(b == "" || a + 0 < b + 0) }'; }
# Keeps the lower of a worst figure (named by its variable) and a new one ("-" is no figure), with
# the case it came from.
track_worst() {
    local -n worst_value="$1" worst_case="$2"
    [ "$3" != - ] || return 0
    if lower "$3" "$worst_value"; then worst_value="$3"; worst_case="$4"; fi
}

say "bench: Wine baseline"
# Wine's fixed cost: the fastest of three starts of a program that does nothing.
quill_command help
wine_wall=""
wine_cpu=""
for _ in 1 2 3; do
    measure "${quill_run[@]}" || die "quill does not start"
    if lower "$wall" "$wine_wall"; then wine_wall="$wall"; wine_kib="$peak"; fi
    if lower "$cpu" "$wine_cpu"; then wine_cpu="$cpu"; fi
done
row "wine baseline (quill help)" - "${wine_wall}s" - "$(mib "$wine_kib")" 0 - - - "${wine_cpu}s" - - -
# MB/s without Wine's start: the engine's own speed, comparable with the platform limit.
net_mbps() { awk -v b="$1" -v s="$2" -v w="$wine_wall" 'BEGIN { s -= w; if (s <= 0) s = 0.001; printf "%.1f", b / 1e6 / s }'; }
# MB/s of the content pass alone: the command's time less the same command's on a 1-byte file, which
# is Wine's start plus the run's own fixed work (provider, key transport, settings, recent lists).
# The platform limit times its cipher calls only, so this is the figure it compares with.
pass_mbps() { awk -v b="$1" -v s="$2" -v f="$3" 'BEGIN { s -= f; if (s <= 0) s = 0.001; printf "%.1f", b / 1e6 / s }'; }
# The content pass over CPU time (less the 1-byte run's), against the limit's CPU rate: what the
# engine costs beside the cipher, whatever else the machine runs. Only the uncompressed cases have a
# CPU limit.
cpu_ratio() {
    local bytes="$1" used="$2" fixed="$3" limit_cpu="$4"
    [ -n "$limit_cpu" ] || { echo -; return; }
    awk -v b="$bytes" -v s="$used" -v f="$fixed" -v l="$limit_cpu" 'BEGIN { s -= f; if (s <= 0) s = 0.001
        printf "%.2f", b / 1e6 / s / l }'
}
# The fixed cost of a command line whose last argument is the file: the same command on a 1-byte
# file, fastest of repeat runs. Sets fixed_wall and fixed_cpu.
tiny="$work/tiny/t.bin"
mkdir -p "$work/tiny"
printf 'x' >"$tiny"
measure_fixed() {
    local prepare="$1" file="$2"
    local command=("${quill_run[@]:0:${#quill_run[@]}-1}" "$(to_windows "$file")")
    measure_best "$prepare" "${command[@]}" || die "quill failed on a 1-byte file"
    fixed_wall="$wall"
    fixed_cpu="$cpu"
}

# Compression on 1, 2 and all threads over the same file beside gzip -9 and pigz -9: the engine's
# gzip routine alone, then whole packs (the packer's default settings, and AES-256, whose cipher
# takes less of the run) and the unpack of each pack's envelope. gzip_rate is the gzip -9 row's.
processors="$(nproc)"
thread_counts="1 2 0"
threads_format='%-44s %8s %8s %9s %11s %9s %7s %7s'
threads_rows=()
threads_row() { threads_rows+=("$(printf "$threads_format" "$@")"); }
threads_header="$(printf "$threads_format" case MB/s x1thread xpigz-p2 outBytes size/1thr peakMB +wineMB)"
threads_targets=()
threads_target() { threads_targets+=("$(verdict "$1" "$2" "$3") $4: $1"); }
verdict() { awk -v a="$1" -v b="$2" -v op="$3" 'BEGIN {
    ok = (op == ">=") ? a + 0 >= b + 0 : (op == "<=") ? a + 0 <= b + 0 : a + 0 > b + 0
    print ok ? "met    " : "NOT met" }'; }
declare -A thread_rate thread_out thread_unpack
# The engine's gzip routine on n threads (0: one per processor), fastest of repeat runs; sets rate
# and out (the gzip file's size).
engine_gzip() {
    local n="$1" input="$2" i line best=""
    [ "$n" = 0 ] && n="$processors"
    for ((i = 0; i < repeat; i++)); do
        line="$(timeout 3600 $QUILL_FIXED_LAYOUT "$QUILL_WINE" "$limit_exe" gzip "$n" "$(to_windows "$input")" </dev/null)" ||
            die "platform_limit gzip $n failed"
        rate="$(sed -n 's/.* mbps=\([0-9.]*\).*/\1/p' <<<"$line")"
        out="$(sed -n 's/.* out=\([0-9]*\).*/\1/p' <<<"$line")"
        if [ -z "$best" ] || awk -v a="$rate" -v b="$best" 'BEGIN { exit !(a + 0 > b + 0) }'; then best="$rate"; fi
    done
    rate="$best"
}
compare_threads() {
    local size="$1" input="$2" bytes=$((size << 20)) n alg name envelope out rate pigz2_rate pigz_all_rate
    measure_best "" bash -c "pigz -9 -p 2 -c '$input' >/dev/null"
    pigz2_rate="$(mbps "$bytes" "$wall")"
    measure_best "" bash -c "pigz -9 -p $processors -c '$input' >/dev/null"
    pigz_all_rate="$(mbps "$bytes" "$wall")"
    threads_row "${size}M gzip -9" "$gzip_rate" - "$(ratio "$gzip_rate" "$pigz2_rate")" - - - -
    threads_row "${size}M pigz -9 -p 2" "$pigz2_rate" - 1.00 - - - -
    threads_row "${size}M pigz -9 -p $processors (all)" "$pigz_all_rate" - "$(ratio "$pigz_all_rate" "$pigz2_rate")" - - - -
    for n in $thread_counts; do
        say "bench: ${size}M the engine's gzip routine, $n threads"
        engine_gzip "$n" "$input"
        thread_rate[gzip/$n]="$rate"
        thread_out[gzip/$n]="$out"
        threads_row "${size}M engine gzip routine, threads $n" "$rate" "$(ratio "$rate" "${thread_rate[gzip/1]}")" \
            "$(ratio "$rate" "$pigz2_rate")" "$out" "$(ratio "$out" "${thread_out[gzip/1]}")" - -
    done
    threads_target "$(ratio "${thread_rate[gzip/2]}" "${thread_rate[gzip/1]}")" 1.8 '>=' \
        "${size}M engine gzip routine on 2 threads >= 1.8x one thread"
    threads_target "$(ratio "${thread_rate[gzip/2]}" "$pigz2_rate")" 1 '>=' \
        "${size}M engine gzip routine on 2 threads >= pigz -9 -p 2"
    for alg in default aes256; do
        local alg_flag=()
        [ "$alg" != default ] && alg_flag=(--alg "$alg")
        for n in $thread_counts; do
            name="${size}M $alg quill pack --threads $n"
            say "bench: $name"
            quill_command pack --to "$keys/cert.der" --no-verify-certs "${alg_flag[@]}" --threads "$n" \
                --out-dir "$work/packed" "$input"
            measure_best empty_packed "${quill_run[@]}" || die "$name failed"
            envelope="$(find "$work/packed" -type f | head -n 1)"
            [[ "$envelope" == *.gz.pkcs7 ]] || die "$name wrote no .gz.pkcs7"
            mkdir -p "$work/threads-$n"
            mv -f "$envelope" "$work/threads-$n/"
            rate="$(mbps "$bytes" "$wall")"
            out="$(stat -c %s "$work/threads-$n/$(basename "$envelope")")"
            thread_rate[$alg/$n]="$rate"
            thread_out[$alg/$n]="$out"
            threads_row "$name" "$rate" "$(ratio "$rate" "${thread_rate[$alg/1]}")" "$(ratio "$rate" "$pigz2_rate")" \
                "$out" "$(ratio "$out" "${thread_out[$alg/1]}")" "$(mib "$peak")" "$(mib "$((peak - wine_kib))")"
        done
        for n in $thread_counts; do
            envelope="$(find "$work/threads-$n" -type f | head -n 1)"
            name="${size}M $alg quill unpack of --threads $n"
            say "bench: $name"
            quill_command unpack --out-dir "$work/unpacked" "$envelope"
            measure_best empty_unpacked "${quill_run[@]}" || die "$name failed"
            out="$(find "$work/unpacked" -type f | head -n 1)"
            [ -n "$out" ] && cmp -s "$input" "$out" || die "$name: the unpacked file differs from the input"
            rate="$(mbps "$bytes" "$wall")"
            thread_unpack[$alg/$n]="$rate"
            threads_row "$name" "$rate" "$(ratio "$rate" "${thread_unpack[$alg/1]}")" - - - "$(mib "$peak")" \
                "$(mib "$((peak - wine_kib))")"
        done
        rm -rf "$work"/threads-* "$work/unpacked"
        threads_target "$(ratio "${thread_rate[$alg/2]}" "${thread_rate[$alg/1]}")" 1.8 '>=' \
            "${size}M $alg compressed pack on 2 threads >= 1.8x one thread"
        threads_target "$(ratio "${thread_unpack[$alg/2]}" "${thread_unpack[$alg/1]}")" 0.95 '>=' \
            "${size}M $alg unpack of the 2-thread envelope as fast as of the 1-thread one (within 5%)"
    done
    # The size spread over every multi-thread output, against the one-thread output.
    local worst
    worst="$(for n in 2 0; do ratio "${thread_out[gzip/$n]}" "${thread_out[gzip/1]}"; echo; done | sort -n | tail -n 1)"
    threads_target "$worst" 1.01 '<=' "${size}M engine gzip output on 2 and all threads within 1% of one thread's"
}

for size in $sizes; do
    bytes=$((size << 20))
    for mode in $modes; do
        input="$work/input-$mode-$size.bin"
        say "bench: making ${size} MiB $mode input"
        make_input "$mode" "$size" "$input"
        if [ "$mode" = compressed ]; then
            say "bench: zlib limit and gzip -9"
            run_limit_zlib 6 "$input"
            zlib6_deflate="${limit[zlib6/deflate]}"
            run_limit_zlib 9 "$input"
            packed_bytes="${limit[zlib9/out]}"
            measure_best "" bash -c "gzip -9 -c '$input' >/dev/null"
            gzip_rate="$(mbps "$bytes" "$wall")"
            row "${size}M gzip -9 (reference: zlib 9 limit)" "$(mbps "$bytes" "$wall")" - "$(mib "$peak")" - \
                "${limit[zlib9/deflate]}" "$(ratio "$(mbps "$bytes" "$wall")" "${limit[zlib9/deflate]}")" - - -
            row "${size}M zlib limit: deflate 6/9, inflate" - - - - \
                "$zlib6_deflate/${limit[zlib9/deflate]}/${limit[zlib9/inflate]}" - - - -
            say "bench: input compresses to $packed_bytes of $bytes bytes at level 9"
            compare_threads "$size" "$input"
        fi
        for alg in $algs; do
            calg="$(limit_cipher "$alg")"
            unset "limit[case/zlib9/deflate]" "limit[case/zlib9/inflate]"
            compress_flag=(--no-compress)
            [ "$mode" = compressed ] && compress_flag=()
            alg_flag=()
            [ "$alg" != default ] && alg_flag=(--alg "$alg")
            name="${size}M $alg $mode"
            unset "limit[case/copy]"

            # quill pack
            # The recipient is self-signed: its chain check would ask, and it is no part of the speed.
            quill_command pack --to "$keys/cert.der" --no-verify-certs "${alg_flag[@]}" "${compress_flag[@]}" \
                --out-dir "$work/packed" "$input"
            # First the same command on a 1-byte file; its envelope is the unpack's 1-byte case.
            measure_fixed empty_packed "$tiny"
            tiny_envelope="$(find "$work/packed" -type f | head -n 1)"
            [ -n "$tiny_envelope" ] || die "quill pack wrote nothing for a 1-byte file"
            mv -f "$tiny_envelope" "$work/tiny/"
            tiny_envelope="$work/tiny/$(basename "$tiny_envelope")"
            pack_fixed_wall="$fixed_wall"
            pack_fixed_cpu="$fixed_cpu"
            say "bench: $name: quill pack, each run after its limit measurement"
            measure_best before_pack_run "${quill_run[@]}" || die "quill pack failed"
            envelope="$(find "$work/packed" -type f | head -n 1)"
            [ -n "$envelope" ] || die "quill pack wrote nothing"
            enc="${limit[$calg/$size/$mode/encrypt$(engine_path "$calg")]}"
            note=""
            if [ "$mode" = compressed ] && [[ "$envelope" == *.gz.pkcs7 ]]; then
                pack_limit="$(combined_rate "$bytes" "${limit[case/zlib9/deflate]}" "$packed_bytes" "$enc")"
                pack_limit_cpu=""
            else
                # Uncompressed, or the engine wrote no gzip file: the cipher alone is the limit.
                [ "$mode" = compressed ] && note=" (no .gz!)"
                pack_limit="$enc"
                limit_notes+=("$name pack: cipher $enc, copy of the file ${limit[case/copy]:--}")
                pack_limit_cpu="${limit[$calg/$size/$mode/encrypt$(engine_path "$calg")/cpu]:-}"
            fi
            pack_rate="$(mbps "$bytes" "$wall")"
            pack_net="$(net_mbps "$bytes" "$wall")"
            pack_extra=$((peak - wine_kib))
            pack_pass="$(pass_mbps "$bytes" "$wall" "$pack_fixed_wall")"
            pack_cpu="$(cpu_ratio "$bytes" "$cpu" "$pack_fixed_cpu" "$pack_limit_cpu")"
            # openssl cms -encrypt -stream, behind gzip -9 in the compressed case
            cipher="$(openssl_cipher "$alg")"
            if [ "$mode" = compressed ]; then
                measure_best "" bash -c "gzip -9 -c '$input' | openssl cms -encrypt ${ossl_providers[*]} -stream -binary \
                    -outform DER $cipher -out '$work/ossl.p7' '$keys/cert.pem'"
            else
                measure_best "" openssl cms -encrypt "${ossl_providers[@]}" -stream -binary -outform DER "$cipher" \
                    -in "$input" -out "$work/ossl.p7" "$keys/cert.pem"
            fi
            ossl_rate="$(mbps "$bytes" "$wall")"
            row "$name pack$note" "$pack_rate" "$pack_net" "$pack_pass" "$(mib "$((pack_extra + wine_kib))")" \
                "$(mib "$pack_extra")" "$pack_limit" "$(ratio "$pack_net" "$pack_limit")" \
                "$(ratio "$pack_pass" "$pack_limit")" "$pack_cpu" "$ossl_rate" "$(ratio "$pack_rate" "$ossl_rate")" \
                "$(mib "$peak")"
            track_worst worst_pack_ratio worst_pack_case "$(ratio "$pack_pass" "$pack_limit")" "$name"
            track_worst worst_pack_net worst_pack_net_case "$(ratio "$pack_net" "$pack_limit")" "$name"
            track_worst worst_pack_cpu worst_pack_cpu_case "$pack_cpu" "$name"

            # quill unpack
            quill_command unpack --out-dir "$work/unpacked" "$envelope"
            measure_fixed empty_unpacked "$tiny_envelope"
            unset "limit[case/copy]"
            cmp -s "$tiny" "$(find "$work/unpacked" -type f | head -n 1)" || die "$name: the 1-byte round trip differs"
            say "bench: $name: quill unpack, each run after its limit measurement"
            measure_best before_unpack_run "${quill_run[@]}" || die "quill unpack failed"
            output="$(find "$work/unpacked" -type f | head -n 1)"
            [ -n "$output" ] && cmp -s "$input" "$output" || die "$name: the unpacked file differs from the input"
            unpack_rate="$(mbps "$bytes" "$wall")"
            unpack_net="$(net_mbps "$bytes" "$wall")"
            unpack_extra=$((peak - wine_kib))
            unpack_peak="$peak"
            dec="${limit[$calg/$size/$mode/decrypt$(engine_path "$calg")]}"
            if [ "$mode" = compressed ] && [ -z "$note" ]; then
                unpack_limit="$(combined_rate "$bytes" "${limit[case/zlib9/inflate]}" "$packed_bytes" "$dec")"
                unpack_limit_cpu=""
            else
                unpack_limit="$dec"
                limit_notes+=("$name unpack: cipher $dec, copy of the envelope ${limit[case/copy]:--}")
                unpack_limit_cpu="${limit[$calg/$size/$mode/decrypt$(engine_path "$calg")/cpu]:-}"
            fi
            unpack_pass="$(pass_mbps "$bytes" "$wall" "$fixed_wall")"
            unpack_cpu="$(cpu_ratio "$bytes" "$cpu" "$fixed_cpu" "$unpack_limit_cpu")"
            if [ "$mode" = compressed ]; then
                measure_best "" bash -c "openssl cms -decrypt ${ossl_providers[*]} -binary -inform DER -in '$work/ossl.p7' \
                    -recip '$keys/cert.pem' -inkey '$keys/key.pem' | gzip -dc >'$work/ossl.out'"
            else
                measure_best "" openssl cms -decrypt "${ossl_providers[@]}" -binary -inform DER -in "$work/ossl.p7" \
                    -recip "$keys/cert.pem" -inkey "$keys/key.pem" -out "$work/ossl.out"
            fi
            cmp -s "$input" "$work/ossl.out" || die "$name: openssl's round trip differs from the input"
            ossl_rate="$(mbps "$bytes" "$wall")"
            row "$name unpack" "$unpack_rate" "$unpack_net" "$unpack_pass" "$(mib "$unpack_peak")" \
                "$(mib "$unpack_extra")" "$unpack_limit" "$(ratio "$unpack_net" "$unpack_limit")" \
                "$(ratio "$unpack_pass" "$unpack_limit")" "$unpack_cpu" "$ossl_rate" \
                "$(ratio "$unpack_rate" "$ossl_rate")" "$(mib "$peak")"
            track_worst worst_unpack_ratio worst_unpack_case "$(ratio "$unpack_pass" "$unpack_limit")" "$name"
            track_worst worst_unpack_net worst_unpack_net_case "$(ratio "$unpack_net" "$unpack_limit")" "$name"
            track_worst worst_unpack_cpu worst_unpack_cpu_case "$unpack_cpu" "$name"
            track_worst slowest_vs_openssl slowest_vs_openssl_case "$(ratio "$unpack_rate" "$ossl_rate")" "$name"

            for extra in "$pack_extra" "$unpack_extra"; do
                [ "$extra" -gt "$max_extra" ] && max_extra="$extra"
                [ "$extra" -gt "${extra_by_size[$size]:-0}" ] && extra_by_size[$size]="$extra"
            done
            rm -f "$work/ossl.p7" "$work/ossl.out"
        done
        rm -f "$input"
    done
done

# ---------------------------------------------------------------- AES-GCM pack and unpack
# quill packs random bytes with AES-256-GCM (uncompressed) beside openssl cms -encrypt -stream of the
# same file, and likewise with AES-256-CBC for the rate of the cipher it already had. Then OpenSSL
# seals the bytes with AES-256-GCM (AuthEnvelopedData, -stream as mail clients write it) and quill
# unpacks the file beside openssl cms -decrypt of the same file, and the same again with AES-256-CBC.
gcm_format='%-44s %6s %7s %8s %9s %6s %7s %11s %6s %7s'
gcm_rows=()
# Before each timed run: the limits of that run measured, the cipher's (CNG's CBC, or for GCM the
# provider's AES-ECB key stream on two threads, as the engine makes it) and a copy of the file read,
# printed beside it for the disk; then the output folder emptied.
gcm_before_pack() {
    limit_cipher_once aes256 "$gcm_size" gcm encrypt
    limit_copy_once "$input"
    empty_packed
}
gcm_before_unpack() {
    limit_cipher_once aes256 "$gcm_size" gcm decrypt
    limit_copy_once "$work/sealed.pkcs7"
    empty_unpacked
}
# The row of one quill run (wall, peak as measure_best left them) beside OpenSSL's (ossl_wall,
# ossl_peak); the cipher limit's key is the last argument.
gcm_row() {
    local name="$1" quill_wall="$2" quill_peak="$3" cipher_key="$4" net limit_rate ossl_rate
    net="$(net_mbps "$bytes" "$quill_wall")"
    limit_rate="${limit[aes256/$gcm_size/gcm/$cipher_key]}"
    ossl_rate="$(mbps "$bytes" "$ossl_wall")"
    gcm_rows+=("$(printf "$gcm_format" "$name" "$quill_wall" "$(mbps "$bytes" "$quill_wall")" "$net" "$limit_rate" \
        "$(ratio "$net" "$limit_rate")" "$(mib "$quill_peak")" "$ossl_rate" \
        "$(ratio "$(mbps "$bytes" "$quill_wall")" "$ossl_rate")" "$(mib "$ossl_peak")")")
    local one_thread=""
    [ "$cipher_key" = keystream-2threads ] && one_thread=" (one thread: ${limit[aes256/$gcm_size/gcm/keystream]})"
    limit_notes+=("$name: cipher ($cipher_key) $limit_rate$one_thread, copy ${limit[case/copy]:--}")
}
if [ -n "$gcm_size" ]; then
    input="$work/gcm-input.bin"
    make_input plain "$gcm_size" "$input"
    bytes=$((gcm_size << 20))
    for cipher in aes-256-gcm aes-256-cbc; do
        alg="${cipher//-/}"
        alg="${alg/aes256cbc/aes256}"
        name="${gcm_size}M $cipher pack (quill --alg $alg)"
        say "bench: $name"
        unset "limit[case/copy]"
        quill_command pack --to "$keys/cert.der" --no-verify-certs --alg "$alg" --no-compress \
            --out-dir "$work/packed" "$input"
        measure_best gcm_before_pack "${quill_run[@]}" || die "$name failed"
        quill_wall="$wall"
        quill_peak="$peak"
        # The envelope must open again, here with OpenSSL: a fast pack of wrong bytes would count for nothing.
        envelope="$(find "$work/packed" -type f | head -n 1)"
        [ -n "$envelope" ] || die "$name wrote nothing"
        openssl cms -decrypt -binary -inform DER -in "$envelope" -recip "$keys/cert.pem" -inkey "$keys/key.pem" \
            -out "$work/ossl.out" || die "$name: openssl cannot open quill's envelope"
        cmp -s "$input" "$work/ossl.out" || die "$name: openssl's output of quill's envelope differs from the input"
        measure_best "" openssl cms -encrypt -stream -binary -outform DER "-$cipher" -in "$input" \
            -out "$work/sealed.pkcs7" "$keys/cert.pem" || die "openssl cms -encrypt -$cipher failed"
        ossl_wall="$wall"
        ossl_peak="$peak"
        [ "$cipher" = aes-256-gcm ] && key=keystream-2threads || key=encrypt-cng
        gcm_row "$name" "$quill_wall" "$quill_peak" "$key"
        rm -rf "$work/packed" "$work/sealed.pkcs7" "$work/ossl.out"
    done
    for cipher in aes-256-gcm aes-256-cbc; do
        name="${gcm_size}M $cipher unpack (OpenSSL's file)"
        say "bench: $name"
        unset "limit[case/copy]"
        openssl cms -encrypt -stream -binary -outform DER "-$cipher" -in "$input" -out "$work/sealed.pkcs7" \
            "$keys/cert.pem" || die "openssl cannot seal with $cipher"
        quill_command unpack --out-dir "$work/unpacked" "$work/sealed.pkcs7"
        measure_best gcm_before_unpack "${quill_run[@]}" || die "quill unpack of the $cipher file failed"
        cmp -s "$input" "$work/unpacked/sealed" || die "$name: the unpacked file differs from the input"
        quill_wall="$wall"
        quill_peak="$peak"
        measure_best "" openssl cms -decrypt -binary -inform DER -in "$work/sealed.pkcs7" -recip "$keys/cert.pem" \
            -inkey "$keys/key.pem" -out "$work/ossl.out" || die "openssl cms -decrypt of the $cipher file failed"
        cmp -s "$input" "$work/ossl.out" || die "$name: openssl's output differs from the input"
        ossl_wall="$wall"
        ossl_peak="$peak"
        [ "$cipher" = aes-256-gcm ] && key=keystream-2threads || key=decrypt-cng
        gcm_row "$name" "$quill_wall" "$quill_peak" "$key"
        rm -f "$work/sealed.pkcs7" "$work/ossl.out"
    done
    rm -f "$input"
fi

# ---------------------------------------------------------------- a file past 4 GiB
# Zeros (a sparse file, made at once; the cipher's work does not depend on the bytes) with a few
# marked bytes, so a lost or moved piece shows in the comparison. Run once: the point is that it
# works in flat memory, and its rate next to OpenSSL's.
large_format='%-34s %7s %8s %11s %8s'
large_rows=()
if [ "$large" = 1 ]; then
    input="$work/large/large.bin"
    mkdir -p "$work/large"
    bytes=$((large_size << 20))
    truncate -s "$bytes" "$input"
    for at in 0 $(( (1 << 32) - 3 )) $((bytes - 8)); do
        [ "$at" -ge 0 ] && [ "$at" -lt "$bytes" ] || continue
        printf 'marked!!' | dd of="$input" bs=1 seek="$at" conv=notrunc status=none
    done
    truncate -s "$bytes" "$input"
    for mode in plain compressed; do
        name="${large_size}M aes256 $mode"
        compress_flag=(--no-compress)
        [ "$mode" = compressed ] && compress_flag=()
        say "bench: $name: quill pack and unpack"
        empty_packed
        quill_command pack --to "$keys/cert.der" --no-verify-certs --alg aes256 "${compress_flag[@]}" \
            --out-dir "$work/packed" "$input"
        measure "${quill_run[@]}" || die "$name: quill pack failed"
        pack_wall="$wall"; pack_peak="$peak"
        envelope="$(find "$work/packed" -type f | head -n 1)"
        [ -n "$envelope" ] || die "$name: quill pack wrote nothing"
        empty_unpacked
        quill_command unpack --out-dir "$work/unpacked" "$envelope"
        measure "${quill_run[@]}" || die "$name: quill unpack failed"
        unpack_wall="$wall"; unpack_peak="$peak"
        output="$(find "$work/unpacked" -type f | head -n 1)"
        [ -n "$output" ] && cmp -s "$input" "$output" || die "$name: the unpacked file differs from the input"
        rm -rf "$work/packed" "$work/unpacked"
        if [ "$mode" = compressed ]; then
            measure bash -c "gzip -1 -c '$input' | openssl cms -encrypt -stream -binary -outform DER -aes256 \
                -out '$work/ossl.p7' '$keys/cert.pem'" || die "$name: openssl cms -encrypt failed"
        else
            measure openssl cms -encrypt -stream -binary -outform DER -aes256 -in "$input" -out "$work/ossl.p7" \
                "$keys/cert.pem" || die "$name: openssl cms -encrypt failed"
        fi
        ossl_pack_wall="$wall"; ossl_pack_peak="$peak"
        # OpenSSL's decrypt reads the whole file into memory; where it cannot, its row says so.
        ossl_unpack="-"; ossl_unpack_peak="-"
        if measure bash -c "openssl cms -decrypt -binary -inform DER -in '$work/ossl.p7' -recip '$keys/cert.pem' \
                -inkey '$keys/key.pem' $([ "$mode" = compressed ] && echo "| gzip -dc") >'$work/ossl.out'"; then
            cmp -s "$input" "$work/ossl.out" || die "$name: openssl's round trip differs from the input"
            ossl_unpack="$(mbps "$bytes" "$wall")"; ossl_unpack_peak="$(mib "$peak")"
        fi
        rm -f "$work/ossl.p7" "$work/ossl.out"
        large_rows+=("$(printf "$large_format" "$name pack" "$(mbps "$bytes" "$pack_wall")" "$(mib "$pack_peak")" \
            "$(mbps "$bytes" "$ossl_pack_wall")" "$(mib "$ossl_pack_peak")")")
        large_rows+=("$(printf "$large_format" "$name unpack" "$(mbps "$bytes" "$unpack_wall")" \
            "$(mib "$unpack_peak")" "$ossl_unpack" "$ossl_unpack_peak")")
    done
    rm -rf "$work/large"
fi

# ---------------------------------------------------------------- report
echo
echo "MB = 10^6 bytes; MB/s counts the source file's bytes over the whole command's wall time; netMB/s"
echo "leaves out Wine's start (${wine_wall} s, the baseline row); passMB/s leaves out the whole fixed"
echo "cost of the run: the time of the same command on a 1-byte file (Wine's start, the provider, the key"
echo "transport, settings and recent lists). peakMB: largest resident size (quill: the whole wine64"
echo "process); +wineMB: above Wine's baseline. limitMB/s: the engine's cipher calls (CNG for AES, else"
echo "CryptoAPI) in the same chunks"
echo "(and zlib level 9 for .gz) with nothing around them, timing only those calls; without signers the"
echo "engine hashes nothing, so the cipher alone is the limit. netRat and passRat: netMB/s and passMB/s"
echo "over the limit; ratio: MB/s / OpenSSL's MB/s (OpenSSL's start is counted too). osslMB: OpenSSL's"
echo "peak. cpuRat: passRat over CPU time (user and system, less the 1-byte run's) against the limit's"
echo "CPU rate; uncompressed cases only. Every time and limit is the fastest of $repeat runs"
echo "(BENCH_REPEAT); Wine's desktop process is held open for the whole run, as Windows' is."
echo
echo "$header"
printf '%s\n' "${rows[@]}"
if [ ${#threads_rows[@]} -gt 0 ]; then
    echo
    echo "Compression on threads ($processors processors; threads 0: one per processor). The engine's gzip"
    echo "routine: the call alone (level 9, into a temporary file), timed inside platform_limit.exe; quill"
    echo "pack and unpack rows: MB/s over the whole command, for the packer's default settings (RC2-40) and"
    echo "AES-256. x1thread: over the same row with one thread (the bytes as before threads); xpigz-p2: over"
    echo "pigz -9 -p 2; outBytes: the gzip file (engine rows) or the envelope, a gzip file plus a fixed"
    echo "overhead; size/1thr: over one thread's."
    echo "Unpack rows: x1thread is over the unpack of --threads 1's envelope."
    echo
    echo "$threads_header"
    printf '%s\n' "${threads_rows[@]}"
fi
if [ ${#gcm_rows[@]} -gt 0 ]; then
    echo
    echo "AES-GCM: quill pack of random bytes with AES-256-GCM (AuthEnvelopedData) and AES-256-CBC, uncompressed,"
    echo "beside openssl cms -encrypt -stream of the same file (quill's envelope is opened by OpenSSL to check it);"
    echo "then quill unpack of OpenSSL's AuthEnvelopedData (AES-256-GCM, written with -stream), and of the"
    echo "same bytes sealed with AES-256-CBC, beside openssl cms -decrypt of the same file. s: quill's wall"
    echo "time; MB/s, netMB/s and peakMB as above; limitMB/s: the cipher (CNG's AES-CBC; for GCM the provider's"
    echo "AES-ECB on two threads, which makes its key stream); netRat: netMB/s over it; ratio: quill's MB/s over"
    echo "OpenSSL's; osslMB: OpenSSL's peak."
    echo
    printf "$gcm_format\n" case s MB/s netMB/s limitMB/s netRat peakMB opensslMB/s ratio osslMB
    printf '%s\n' "${gcm_rows[@]}"
fi
if [ ${#large_rows[@]} -gt 0 ]; then
    echo
    echo "The large file (BENCH_LARGE, ${large_size} MiB): one run each; MB/s over the whole command, peakMB the largest"
    echo "resident size; OpenSSL packs with -stream (behind gzip -1 when compressed) and decrypts in memory."
    echo
    printf "$large_format\n" case MB/s peakMB opensslMB/s osslMB
    printf '%s\n' "${large_rows[@]}"
fi
echo
echo "Platform limits in MB/s (cipher alone / with SHA-1):"
for key in $(printf '%s\n' "${!limit[@]}" | grep -E '/(en|de)crypt(-cng)?$' | sort); do
    echo "  $key ${limit[$key]} / ${limit[$key+sha1]:-?}"
done
if [ ${#limit_notes[@]} -gt 0 ]; then
    echo "The uncompressed cases' cipher limit beside the disk's, a copy of the file read (MB/s):"
    printf '  %s\n' "${limit_notes[@]}"
fi

# The targets are those of the pack and unpack cases; the AES-GCM comparison alone has none.
if [ -n "$sizes" ]; then
    echo
    echo "Targets:"
    echo "  $(verdict "$worst_pack_ratio" 0.90 '>=') pack within 10% of the platform limit: worst passRat $worst_pack_ratio" \
         "($worst_pack_case); with the run's fixed cost, worst netRat $worst_pack_net ($worst_pack_net_case)"
    echo "  $(verdict "$worst_unpack_ratio" 0.90 '>=') unpack within 10% of the platform limit: worst passRat" \
         "$worst_unpack_ratio ($worst_unpack_case); with the run's fixed cost, worst netRat $worst_unpack_net" \
         "($worst_unpack_net_case)"
    echo "  $(verdict "$slowest_vs_openssl" 1 '>') unpack faster than openssl cms -decrypt: slowest ratio $slowest_vs_openssl ($slowest_vs_openssl_case)"
    if [ -n "$worst_pack_cpu" ]; then
        echo "  (CPU time, uncompressed: pack worst $worst_pack_cpu ($worst_pack_cpu_case), unpack worst" \
             "$worst_unpack_cpu ($worst_unpack_cpu_case) of the limit)"
    fi
    few_kib=$((few_mb * 1024))
    flat="met    "
    [ "$max_extra" -le "$few_kib" ] || flat="NOT met"
    spread=""
    for size in $sizes; do spread+=" ${size}M:$(mib "${extra_by_size[$size]:-0}")"; done
    for target in "${threads_targets[@]}"; do echo "  $target"; done
    echo "  $flat peak memory a few MB (<= $few_mb MB above Wine's $(mib "$wine_kib") MB) whatever the size:$spread MB"
fi
