#!/usr/bin/env bash
# Regenerates the seed corpus under fuzz/corpus/ (checked in; run this only
# to change it). Store files come from varno-storegen, built from a normal
# tree:
#
#   cmake -S . -B /tmp/build-seed -G Ninja -DVARNO_SAMPLE_ENV=OFF -DVARNO_BUILD_TESTS=OFF
#   cmake --build /tmp/build-seed --target varno-storegen
#   bash fuzz/make_corpus.sh /tmp/build-seed/varno-storegen [PATH-TO-varno_recovery_properties]
set -euo pipefail
storegen=${1:?usage: make_corpus.sh PATH-TO-varno-storegen}
root=$(cd "$(dirname "$0")/.." && pwd)
corpus=$root/fuzz/corpus
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export VARNO_HOME=$scratch/home

rm -rf "$corpus"
mkdir -p "$corpus"/{store_header,listing,salvage,find_record,message_parse,scanner_config,snf_period,snf_size,registry_value}

# Little-endian words as raw bytes.
le32() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"; }
le16() { printf "$(printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)))"; }
u32_at() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }

# Store files: every header type, wrapped rings, each kind of damage, a few
# tag counts and header counts. Small message counts keep the corpus small.
store() {
  local name=$1
  shift
  "$storegen" "$scratch/$name" "$@" >/dev/null
  cp "$scratch/$name" "$corpus/store_header/$name"
  cp "$scratch/$name" "$corpus/listing/$name"
}
# A header region with no data area behind it.
"$storegen" "$scratch/one" --messages 1 >/dev/null
head -c 192 "$scratch/one" >"$corpus/store_header/t2_header_only"
cp "$corpus/store_header/t2_header_only" "$corpus/listing/t2_header_only"
store t2_plain --messages 3
store t1_plain --type 1 --messages 3
store t0_plain --type 0 --messages 3
store t2_wrap --wrap --messages 4
store t1_wrap --type 1 --wrap --messages 4
store t0_wrap --type 0 --wrap --messages 3
store t2_tags0 --messages 2 --tags 0
store t2_tags3 --messages 2 --tags 3
store t2_free_space --messages 2 --capacity 2000
store t2_count_max --wrap --messages 3 --count 4294967295
store t2_count_zero --messages 2 --count 0
store t2_forwarded --messages 3 --forwarded 2
store t2_damage_primary --messages 2 --damage primary
store t2_damage_backup --messages 2 --damage backup
store t2_damage_both --messages 2 --damage both
store t1_damage_primary --type 1 --messages 2 --damage primary
store t0_damage_backup --type 0 --messages 2 --damage backup
store t2_record_byte --wrap --messages 4 --damage record-byte:2
store t2_record_size --wrap --messages 4 --damage record-size:3
store t2_record_size_last --messages 3 --damage record-size:3

# Salvage: a mode byte (1: the header made sound), then the file. Every store
# file above as it is, and the damage a campaign of damaged files found
# salvage mishandling.
for f in "$corpus"/store_header/*; do
  { printf '\x00'; cat "$f"; } >"$corpus/salvage/$(basename "$f")"
done
salvage_case() {
  local name=$1 file=$2
  { printf '\x00'; cat "$file"; } >"$corpus/salvage/$name"
}
zero() { dd if=/dev/zero of="$1" bs=1 seek="$2" count="$3" conv=notrunc status=none; }
"$storegen" "$scratch/s" --messages 3 >/dev/null
zero "$scratch/s" 40 152
salvage_case zeroed_header "$scratch/s"
"$storegen" "$scratch/s" --messages 3 --forwarded 1 >/dev/null
zero "$scratch/s" 0 96
salvage_case zeroed_primary "$scratch/s"
"$storegen" "$scratch/s" --messages 10 --wrap --forwarded 2 >/dev/null
truncate -s 2252 "$scratch/s"
salvage_case truncated_ring "$scratch/s"
"$storegen" "$scratch/s" --type 1 --messages 46 --tags 5 --forwarded 19 --capacity 23149 >/dev/null
{ head -c 2572 "$scratch/s"; tail -c +3048 "$scratch/s"; } >"$scratch/d"
salvage_case deleted_range "$scratch/d"
"$storegen" "$scratch/s" --messages 10 --forwarded 4 --damage record-size:3:1636 >/dev/null
salvage_case size_over_records "$scratch/s"
"$storegen" "$scratch/s" --messages 10 --damage record-size:3:600 >/dev/null
salvage_case size_into_record "$scratch/s"
"$storegen" "$scratch/s" --messages 4 --wrap --damage both >/dev/null
salvage_case wrapped_no_header "$scratch/s"
"$storegen" "$scratch/s" --messages 3 --damage record-byte:3 >/dev/null
zero "$scratch/s" 1004 4
salvage_case damaged_time "$scratch/s"
"$storegen" "$scratch/s" --messages 4 --wrap >/dev/null
truncate -s 1016 "$scratch/s"
salvage_case short_walk "$scratch/s"
{ printf '\x01'; cat "$corpus/store_header/t2_wrap"; } >"$corpus/salvage/sealed_wrap"
# One file of each kind of damage the recovery properties make, from their
# generator, when its runner is given (second argument): records copied,
# bytes inserted and deleted, header fields rewritten with their checksums,
# sizes changed, a backup signature lost, truncation, zeros, flipped bits,
# appended bytes.
properties=${2:-}
if [ -n "$properties" ]; then
  for pair in 3:copied 60:inserted 14:deleted 146:oldest_moved 1:forward_moved \
              377:forwarded_changed 307:current_in_header 236:last_mid_record \
              127:last_size_changed 19:newest_time_changed 48:count_changed \
              24:size_larger 18:size_smaller 5:backup_signature 9:truncated 2:zeroed_stale_gap \
              15:bits_flipped 7:appended 27:header_byte; do
    seed=${pair%%:*}
    "$properties" --seed="$seed" --write="$scratch" >/dev/null
    salvage_case "generated_${pair#*:}" "$scratch/seed-$seed.DEV1"
  done
fi

# The scan: prefix (mode, start, limit, hole / 2), then the file.
scan() {
  local name=$1 file=$2 mode=$3 start=$4 limit=$5 hole=$6
  { printf "\\x$(printf %02x "$mode")"; le32 "$start"; le32 "$limit"; le16 "$hole"; cat "$file"; } \
    >"$corpus/find_record/$name"
}
scan whole_file "$scratch/t2_plain" 1 192 0 0
scan from_zero "$scratch/t2_wrap" 1 0 0 0
scan inside_record "$scratch/t2_record_byte" 1 200 0 0
scan short_limit "$scratch/t2_plain" 0 192 600 0
scan past_end "$scratch/t2_tags0" 4 192 0 0
scan window_edge "$scratch/t2_tags3" 1 0 0 32500
scan damaged_size "$scratch/t2_record_size" 1 192 0 0

# Message bodies: the message of the first record (offset 192: 12-byte
# prefix, then a message whose size is at byte 4), and the same message as
# unsolicited data (transaction type 2).
message() {
  local name=$1 file=$2
  local size
  size=$(u32_at "$file" 208)
  dd if="$file" of="$corpus/message_parse/$name" bs=1 skip=204 count="$size" status=none
}
message tags1 "$scratch/t2_plain"
message tags0 "$scratch/t2_tags0"
message tags3 "$scratch/t2_tags3"
{ head -c 2 "$corpus/message_parse/tags3"; le16 2; tail -c +5 "$corpus/message_parse/tags3"; } \
  >"$corpus/message_parse/tags3_unsolicited"

# Scanner configuration files.
cfg() { printf -- "$2" >"$corpus/scanner_config/$1"; }
cfg plain '[DEV1]\nmax_size=1000\nmax_period=  24:00:00\n'
cfg other_section_first '[DEV2]\nmax_size=5\n[DEV1]\nmax_period=1:30\nmax_size=-1\n[DEV3]\n'
cfg unknown_key '[DEV1]\nmax_size=7\nmaxsize=8\nmax_period=0:0:1\n'
cfg no_equals '[DEV1]\nmax_size\n'
cfg only_equals '[DEV1]\n==\nmax_size=3\n'
cfg crlf '[DEV1]\r\nmax_size=12\r\nmax_period=1:2:3\r\n'
cfg no_final_line_feed '[DEV1]\nmax_period=48:00'
cfg bad_period '[DEV1]\nmax_period=12\n'
cfg stop_byte '[DEV1]\nmax_size=9\xff\nmax_period=1:1:1\n'
cfg empty_line_ends '[DEV1]\n\nmax_size=4\n'
cfg section_no_name '[]\n[DEV1]\nmax_size=1\n'
{ printf '[DEV1]\nmax_size='; head -c 300 /dev/zero | tr '\0' '7'; printf '\nmax_period=2:0:0\n'; } \
  >"$corpus/scanner_config/long_line"

# Period and size texts.
txt() { printf -- "$3" >"$corpus/$1/$2"; }
txt snf_period day '24:00:00'
txt snf_period no_seconds '1:30'
txt snf_period no_minutes '12'
txt snf_period empty ''
txt snf_period leading_colons '::5:6'
txt snf_period blanks_signs '  -1 : +2 :\t-3'
txt snf_period wraps '4294967295:99999999:1'
txt snf_period extra_fields '1:2:3:4'
txt snf_size plain '1000'
txt snf_size negative '-5'
txt snf_size blanks_plus ' \t+42x'
txt snf_size wraps '99999999999999999999'
txt snf_size letters 'abc'
txt snf_size empty ''

# Registry value files: a type word, then the data.
value() { cat >"$corpus/registry_value/$1"; }
{ le32 4; le32 86400; } | value dword
{ le32 4; le16 7; } | value dword_short
{ le32 1; printf 'VAR-NO\0'; } | value text
{ le32 3; printf '0123456789abcdef'; } | value binary_large
le32 0 | value type_only
printf '\x04\x00\x00' | value truncated_type
value empty </dev/null
