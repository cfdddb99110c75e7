# shellcheck shell=bash
# A 1,000-frame sequence through the Slurm job array: two cameras whose counters rolled over
# (IMG_9999 in 100CANON, IMG_0001 in 101CANON) and whose file names repeat, shot at interleaved
# moments with ties to the second and to the sub-second, converted with --name, --order
# capture-time and --shard. Checks that the shards together wrote exactly the expected names,
# each once and complete, and that frame N holds the Nth picture in capture-time order: by the
# source name, capture time and frame position in its header, and by its pixels.
#
# Sourced by run_slurm_test.sh while its cluster runs; uses its variables root, build, work,
# raw2dpx and submit and its functions fail and cluster_wait_job. The frames are made here, from
# the Kodak DC50 file of tests/data (A camera, whole-second clock) and the Nikon D1 file of the
# shared fixtures (B camera, with sub-seconds), their capture times set with exiv2.
# shellcheck disable=SC2154 # root, build, work, raw2dpx and submit come from run_slurm_test.sh

readonly kSeqFrames=1000 kSeqFramesB=60 kSeqShards=7 kSeqStart=86400 kSeqJobSeconds=600
readonly kSeqSize=96x64 kSeqDay="2024:05:01"

# Prints the folder of the shared fixtures, from the build's CMake cache.
_seq_shared_dir() {
  local dir=${TARN_SHARED_DIR:-}
  [ -n "$dir" ] || dir=$(sed -n 's/^TARN_SHARED_DIR:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null)
  [ -n "$dir" ] || dir=$root/../shared
  echo "$dir"
}

# Records one frame: its sort key (seconds after 10:00:00 and nanoseconds, fixed width, so that
# text order is time order), path, camera, Exif date and time, and sub-second digits.
_seq_frame() {
  local camera=$1 path=$2 seconds=$3 subsec=$4 fraction when
  fraction=${subsec}000000000
  printf -v when '%s %02d:%02d:%02d' "$kSeqDay" $((10 + seconds / 3600)) $((seconds / 60 % 60)) \
    $((seconds % 60))
  printf '%06d.%s\t%s\t%s\t%s\t%s\n' "$seconds" "${fraction:0:9}" "$path" "$camera" "$when" "$subsec"
}

# Camera A (Kodak DC50 files, 940 frames) shoots every 2 s, with a second frame in the same
# second now and then and across its counter's roll-over; camera B (Nikon D1 files, 60 frames)
# shoots bursts of three between them: 0.25 s and 0.5 s into a second (digits "25" and "5", which
# sort the other way as numbers), then a tie with the burst's second frame or 0.75 s; every other
# burst starts on the second of an A frame ("0", "000": no fraction), a tie that the path breaks.
_seq_frames() {
  local raw=$1 a b name seconds burst subsec
  local -r framesA=$((kSeqFrames - kSeqFramesB)) beforeA=499 beforeB=29
  for ((a = 0; a < framesA; a++)); do
    if ((a < beforeA)); then
      name=100CANON/IMG_$((10000 - beforeA + a)).KDC
    else
      printf -v name '101CANON/IMG_%04d.KDC' $((a - beforeA + 1))
    fi
    seconds=$((2 * a))
    ((a % 25 == 24 || a == beforeA)) && seconds=$((2 * (a - 1)))
    _seq_frame A "$raw/a-cam/DCIM/$name" "$seconds" ""
  done
  for ((b = 0; b < kSeqFramesB; b++)); do
    if ((b < beforeB)); then
      name=100CANON/IMG_$((10000 - beforeB + b)).NEF
    else
      printf -v name '101CANON/IMG_%04d.NEF' $((b - beforeB + 1))
    fi
    burst=$((b / 3))
    seconds=$((5 + 31 * burst))
    case $((b % 3)):$((burst % 4)) in
    0:1) subsec=0 ;;
    0:3) subsec=000 ;;
    0:*) subsec=25 ;;
    1:*) subsec=5 ;;
    2:0 | 2:1) subsec=5 ;;
    2:*) subsec=75 ;;
    esac
    _seq_frame B "$raw/b-cam/DCIM/$name" "$seconds" "$subsec"
  done
}

# Makes the frames of the table. The DC50 file keeps its layout only when exiv2 rewrites a value
# in place, so camera A's time goes into the DateTime it has (no sub-seconds): exiv2 sets a
# marker time in one copy, and each frame is that copy with its own time in the marker's bytes
# (a thousand exiv2 runs would take longer than converting the frames). Camera B's 60 files get
# DateTimeOriginal and SubSecTimeOriginal from exiv2 itself.
_seq_make_files() {
  local table=$1 kdc=$2 nef=$3 dir=$4 marker="1999:12:31 23:59:58"
  cp "$kdc" "$dir/template.kdc" && chmod u+w "$dir/template.kdc" &&
    exiv2 -M"set Exif.Image.DateTime $marker" "$dir/template.kdc" || return 1
  python3 - "$table" "$dir/template.kdc" "$marker" "$nef" >"$dir/exiv2-b" <<'EOF' || return 1
import os, shutil, sys

table, template, marker, nef = sys.argv[1:]
data = open(template, "rb").read()
marker = marker.encode()
if data.count(marker) != 1:
    sys.exit("exiv2 did not write the marker time once into " + template)
at = data.index(marker)
for line in open(table):
    _, path, camera, when, subsec = line.rstrip("\n").split("\t")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if camera == "A":
        with open(path, "wb") as f:
            f.write(data[:at] + when.encode() + data[at + len(marker):])
    else:
        shutil.copyfile(nef, path)
        for arg in ("-Mset Exif.Photo.DateTimeOriginal " + when,
                    "-Mset Exif.Photo.SubSecTimeOriginal " + subsec, path):
            sys.stdout.write(arg + "\0")
EOF
  xargs -0 -n 3 -P "$(nproc)" exiv2 <"$dir/exiv2-b"
}

sequence_test() {
  local shared kdc nef
  shared=$(_seq_shared_dir)
  nef=$shared/fixtures/raw/nikon-d1.nef
  kdc=$root/tests/data/raw/kodak-dc50.kdc
  if [ ! -r "$nef" ]; then
    echo "sequence: SKIPPED: the shared fixtures are absent (no $nef)"
    return 0
  fi
  if ! command -v exiv2 >/dev/null; then
    timeout 300 env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=120 -y -q \
      install --no-install-recommends exiv2 >/dev/null 2>&1
    if ! command -v exiv2 >/dev/null; then
      echo "sequence: SKIPPED: the frames' capture times are set with exiv2, and the package exiv2 cannot be installed here"
      return 0
    fi
  fi

  local seq=$work/sequence started=$SECONDS
  mkdir -p "$seq/raw" "$seq/reference"
  _seq_frames "$seq/raw" >"$seq/frames.tsv"
  # The expected sequence: capture time, ties by path, as bytes compare.
  LC_ALL=C sort -t $'\t' -k1,1 -k2,2 "$seq/frames.tsv" >"$seq/expected.tsv"
  (($(wc -l <"$seq/expected.tsv") == kSeqFrames)) || fail "the sequence table has not $kSeqFrames frames"
  _seq_make_files "$seq/expected.tsv" "$kdc" "$nef" "$seq" || fail "exiv2 could not set the capture times"
  # Each camera's picture converted on its own, for the pixel comparison; this also shows that
  # the files exiv2 rewrote can still be developed.
  local camera path
  for camera in A B; do
    path=$(awk -F'\t' -v c="$camera" '$3 == c { print $2; exit }' "$seq/expected.tsv")
    "$raw2dpx" --resize "$kSeqSize" --name "$camera" -o "$seq/reference" "$path" >/dev/null 2>"$seq/reference.err" ||
      fail "raw2dpx cannot convert $path after exiv2 set its capture time: $(cat "$seq/reference.err")"
  done
  # The list in reverse path order, which is neither the capture order nor the name order.
  {
    echo "# two cameras, cards 100CANON and 101CANON"
    cut -f2 "$seq/expected.tsv" | LC_ALL=C sort -r | awk 'NR == 501 { print "" } { print }'
  } >"$seq/frames.txt"
  local made=$((SECONDS - started))

  # Both cameras have files IMG_9971.KDC and IMG_9971.NEF, ...: their plain output names clash,
  # so the submission is accepted only when the helper's check sees --name.
  local options=(--name 'shot_{frame:07}' --start "$kSeqStart" --order capture-time --dpx-metadata
    --resize "$kSeqSize")
  echo "sequence: $kSeqFrames frames made in $made s; submitted in $kSeqShards shards with ${options[*]}"
  local job submitted=$SECONDS
  job=$(bash "$submit" --raw2dpx "$raw2dpx" --shards "$kSeqShards" --cpus 1 --logs "$seq/logs" \
    "$seq/frames.txt" "$seq/out" -- "${options[@]}") || fail "the sequence was not submitted"
  cluster_wait_job "$job" "$kSeqJobSeconds" || fail "sequence job array $job did not finish in time"
  local ran=$((SECONDS - submitted)) checked=$SECONDS

  # Every task completed its near-equal slice and logged each frame it converted.
  local details k log line c s f converted=0
  details=$(scontrol -o show job "$job") || fail "scontrol knows no job $job"
  (($(grep -c "ArrayJobId=$job " <<<"$details") == kSeqShards)) || fail "job $job has not $kSeqShards tasks"
  grep -v -q "JobState=COMPLETED " <<<"$details" &&
    fail "a task of sequence job $job did not complete: $(grep -v "JobState=COMPLETED " <<<"$details")"
  : >"$seq/converted.txt"
  for ((k = 0; k < kSeqShards; k++)); do
    log=$seq/logs/raw2dpx-${job}_$k.out
    [ -f "$log" ] || fail "no log $log for task $k"
    line=$(grep -E "^raw2dpx shard $k/$kSeqShards: [0-9]+ converted, [0-9]+ skipped, [0-9]+ failed in [0-9.]+ s$" "$log") ||
      fail "no summary line for shard $k/$kSeqShards in $log: $(tail -n 5 "$log")"
    read -r c s f < <(sed -E 's/.*: ([0-9]+) converted, ([0-9]+) skipped, ([0-9]+) failed.*/\1 \2 \3/' <<<"$line")
    ((s == 0 && f == 0 && c == (k + 1) * kSeqFrames / kSeqShards - k * kSeqFrames / kSeqShards)) ||
      fail "shard $k/$kSeqShards: $line"
    ((converted += c))
    sed -nE 's/^\[[0-9]+\/[0-9]+\] //p' "$log" >>"$seq/converted.txt"
  done
  ((converted == kSeqFrames)) || fail "$converted frames converted, not $kSeqFrames"
  cmp -s <(LC_ALL=C sort "$seq/converted.txt") <(cut -f2 "$seq/expected.tsv" | LC_ALL=C sort) ||
    fail "the shards did not convert every frame exactly once: $(LC_ALL=C sort "$seq/converted.txt" |
      uniq -d | head -n 3)"

  # The files themselves.
  python3 - "$seq/out" "$seq/expected.tsv" "$seq/reference" "$kSeqStart" "$kSeqSize" <<'EOF' ||
import hashlib, os, struct, sys

out, table, reference, start, size = sys.argv[1:]
start = int(start)
width, height = map(int, size.split("x"))
expected = [line.rstrip("\n").split("\t") for line in open(table)]
pixels = {c: hashlib.sha256(open(os.path.join(reference, c + ".dpx"), "rb").read()[2048:]).digest()
          for c in "AB"}
names = ["shot_%07d.dpx" % (start + n) for n in range(len(expected))]
found = sorted(os.listdir(out))
if found != names:
    extra = sorted(set(found) - set(names))[:3]
    missing = sorted(set(names) - set(found))[:3]
    sys.exit("the output folder holds %d files, not %s..%s: extra %s, missing %s"
             % (len(found), names[0], names[-1], extra, missing))

def text(header, offset, length):
    return header[offset:offset + length].split(b"\0", 1)[0].decode()

bytes_expected = 2048 + width * height * 6
for n, (key, path, camera, when, subsec) in enumerate(expected):
    name = names[n]
    data = open(os.path.join(out, name), "rb").read()
    header = data[:2048]
    magic, = struct.unpack_from("<I", header, 0)
    recorded, = struct.unpack_from("<I", header, 16)
    position, = struct.unpack_from("<I", header, 1712)
    problems = []
    if len(data) != bytes_expected or magic != 0x53445058 or recorded != len(data):
        problems.append("%d bytes (header: magic 0x%08x, %d bytes), not %d"
                        % (len(data), magic, recorded, bytes_expected))
    if text(header, 1432, 100) != os.path.basename(path):
        problems.append("source file %r" % text(header, 1432, 100))
    if text(header, 1532, 24) != when.replace(" ", ":"):
        problems.append("capture time %r, not %r" % (text(header, 1532, 24), when))
    if position != start + n:
        problems.append("frame position %d" % position)
    if hashlib.sha256(data[2048:]).digest() != pixels[camera]:
        problems.append("pixels not those of camera %s" % camera)
    if problems:
        sys.exit("%s should be frame %d of the capture order, %s (%s %s.%s): %s"
                 % (name, n, path, camera, when, subsec or "0", "; ".join(problems)))
print("sequence: %s..%s: each frame once, %d bytes, source name, capture time, frame "
      "position and pixels those of the capture order" % (names[0], names[-1], bytes_expected))
EOF
    fail "the sequence's output files are not as expected"

  # A pattern that gives every frame one name is refused before anything is queued.
  if bash "$submit" --raw2dpx "$raw2dpx" --shards "$kSeqShards" --mem 128 --logs "$seq/logs" \
    "$seq/frames.txt" "$seq/clash" -- --name 'plate_{date}' --order capture-time >/dev/null 2>"$seq/clash.err"; then
    fail "a sequence named plate_{date}, one name for every frame, was submitted"
  fi
  # Named after the pattern: the helper's check ran with the tasks' options.
  grep -q "same output file as .*/clash/plate_${kSeqDay//:/}.dpx)$" "$seq/clash.err" ||
    fail "unclear refusal: $(head -n 3 "$seq/clash.err")"
  [ -z "$(squeue -h -o %i)" ] || fail "something was queued for the refused sequence"
  [ ! -e "$seq/clash" ] || fail "the refused sequence made its output folder"

  echo "sequence: job array $job: $kSeqFrames frames in $kSeqShards shards converted in $ran s" \
    "(frames made in $made s, checked in $((SECONDS - checked)) s)"
}
