#!/usr/bin/env bash
# mutants.sh - the planted-fault harness: shows which faults the tests catch.
# The tree is copied once to a scratch directory; each fault listed at the end
# of this file is planted in that copy (one small change to one library file),
# the copy is rebuilt incrementally and the tests run against it. The tree
# itself is only read, so an interrupted run leaves it exactly as it was.
#
# Usage: tools/mutants.sh [-l] [-v] [-k] [-t SECONDS] [-j JOBS] [SELECT...]
#   SELECT  fault numbers (7 or 12-15) or words found in a fault's file or
#           description (readarch, restore.cpp); none selects every fault
#   -l      only list the selected faults and whether each still applies
#   -v      name the tests that caught each fault
#   -k      keep the scratch directory
#   -t N    seconds one test may run before it counts as failed (default 60)
#   -j N    build and test jobs (default 2)
#
# A fault is written as
#   @ FILE | what the fault does
#   - old text
#   + new text
# Several "-" or "+" lines make a text of several lines; a lone "+" makes an
# empty text. The old text must occur exactly once in FILE: when the code has
# moved on, the fault is reported as not applied, to be anchored again.
set -u

list_only=0 verbose=0 keep=0 test_seconds=60 jobs=2
while getopts "lvkt:j:" opt; do
  case $opt in
    l) list_only=1 ;;
    v) verbose=1 ;;
    k) keep=1 ;;
    t) test_seconds=$OPTARG ;;
    j) jobs=$OPTARG ;;
    *) sed -n '2,/^set -u/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
root=$(cd "$(dirname "$0")/.." && pwd)

# The fault list and the text patching, in Python. Commands:
#   list SRC SELECT...  one line per selected fault: number, file, state, text
#   apply SRC N         plants fault N in SRC
faults() {
  python3 - "$self" "$@" <<'PY'
import re, sys

def parse(path):
    lines = open(path, encoding="utf-8").read().split("\n")
    lines = lines[lines.index(": <<'__FAULTS__'") + 1:lines.index("__FAULTS__")]
    faults, cur = [], None
    for n, line in enumerate(lines):
        if line.startswith("@ "):
            file, _, what = line[2:].partition(" | ")
            cur = {"file": file.strip(), "what": what.strip(), "old": [], "new": []}
            faults.append(cur)
        elif line[:1] in "-+" and line and cur is not None:
            cur["old" if line[0] == "-" else "new"].append(line[2:])
        elif line.strip() and not line.startswith("#"):
            sys.exit("mutants.sh: cannot read fault list line: " + line)
    for f in faults:
        f["old"], f["new"] = "\n".join(f["old"]), "\n".join(f["new"])
        if not f["old"] or f["old"] == f["new"]:
            sys.exit("mutants.sh: fault without a change: " + f["what"])
    return faults

def selected(faults, words):
    if not words:
        return list(range(1, len(faults) + 1))
    keep = set()
    for w in words:
        m = re.fullmatch(r"(\d+)(?:-(\d+))?", w)
        for i, f in enumerate(faults, 1):
            if m and int(m[1]) <= i <= int(m[2] or m[1]):
                keep.add(i)
            if not m and w.lower() in (f["file"] + " " + f["what"]).lower():
                keep.add(i)
    return sorted(keep)

def state(src, f):
    try:
        text = open(src + "/" + f["file"], encoding="utf-8").read()
    except OSError:
        return "no such file"
    n = text.count(f["old"])
    return "ok" if n == 1 else "old text not found" if n == 0 else "old text found %d times" % n

faults = parse(sys.argv[1])
cmd, src = sys.argv[2], sys.argv[3]
if cmd == "list":
    for i in selected(faults, sys.argv[4:]):
        f = faults[i - 1]
        print("%d\t%s\t%s\t%s" % (i, f["file"], state(src, f), f["what"]))
elif cmd == "apply":
    f = faults[int(sys.argv[4]) - 1]
    path = src + "/" + f["file"]
    text = open(path, encoding="utf-8").read()
    if text.count(f["old"]) != 1:
        sys.exit(1)
    open(path, "w", encoding="utf-8").write(text.replace(f["old"], f["new"]))
PY
}

listing=$(faults list "$root" "$@") || exit 2
if [ -z "$listing" ]; then echo "mutants.sh: no fault selected" >&2; exit 2; fi
if [ $list_only = 1 ]; then
  printf '%s\n' "$listing" |
    awk -F'\t' '{ printf "%3d  %-22s %-10s %s\n", $1, $2, ($3 == "ok" ? "applies" : $3), $4 }'
  exit 0
fi

work=$(mktemp -d /tmp/z9mutants.XXXXXX)
src=$work/src bld=$work/build child=0
cleanup() {
  if [ "$child" -gt 0 ]; then
    kill -- -"$child" 2>/dev/null || kill "$child" 2>/dev/null
    wait "$child" 2>/dev/null
  fi
  if [ $keep = 1 ]; then echo "scratch directory kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Runs a command in the background of its own process group, so that an
# interruption can stop it and all it started; its output goes to $1.
run() {
  local log=$1
  shift
  setsid "$@" >"$log" 2>&1 &
  child=$!
  wait "$child"
  local rc=$?
  child=0
  return $rc
}

# The copy: everything but git's data and build directories. The benchmark
# is left out; it would only be linked again for every fault.
mkdir -p "$src"
tar -C "$root" --exclude=./.git --exclude='./build*' --exclude=./bench -cf - . | tar -C "$src" -xf -

# Every test program runs under timeout, so a fault that makes a test hang
# fails that test; the whole test run has a limit of its own as well.
echo "building the copy in $work ..."
emulator="-DCMAKE_CROSSCOMPILING_EMULATOR=timeout;-k;5;$test_seconds"
if ! run "$work/configure.log" cmake -S "$src" -B "$bld" -G Ninja \
       -DCMAKE_BUILD_TYPE=RelWithDebInfo "$emulator"; then
  cat "$work/configure.log"
  exit 2
fi
build() { run "$work/build.log" cmake --build "$bld" -j "$jobs"; }
tests() {
  run "$work/test.log" timeout -k 10 $((test_seconds * 5)) ctest --test-dir "$bld" -j "$jobs"
}
if ! build; then
  tail -30 "$work/build.log"
  echo "mutants.sh: the tree does not build" >&2
  exit 2
fi
if ! tests; then
  grep -A100 'tests FAILED' "$work/test.log"
  echo "mutants.sh: the tests fail without any fault" >&2
  exit 2
fi

# The tests that failed, from ctest's summary.
failed_tests() {
  sed -n '/The following tests FAILED/,$p' "$work/test.log" |
    sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' | tr '\n' ' '
}

caught=0 applied=0 missed="" absent="" broken="" start=$SECONDS
while IFS=$'\t' read -r n file state what; do
  if [ "$state" != ok ]; then
    absent+=$(printf '%3d  %-22s %s (%s)' "$n" "$file" "$what" "$state")$'\n'
    printf '%3d  %-8s %-22s %s\n' "$n" "absent" "$file" "$what"
    continue
  fi
  cp "$src/$file" "$work/saved"
  faults apply "$src" "$n"
  if build; then
    applied=$((applied + 1))
    if tests; then
      result=MISSED
      missed+=$(printf '%3d  %-22s %s' "$n" "$file" "$what")$'\n'
    else
      result=caught
      caught=$((caught + 1))
    fi
  else
    result="no build"
    broken+=$(printf '%3d  %-22s %s' "$n" "$file" "$what")$'\n'
  fi
  printf '%3d  %-8s %-22s %s\n' "$n" "$result" "$file" "$what"
  if [ $verbose = 1 ] && [ "$result" = caught ]; then echo "       by: $(failed_tests)"; fi
  # A fresh time stamp, so the next build compiles the restored file again.
  cp "$work/saved" "$src/$file"
  touch "$src/$file"
done <<<"$listing"

echo
echo "caught $caught of $applied ($(((SECONDS - start) / 60)) min)"
if [ -n "$missed" ]; then printf 'missed:\n%s' "$missed"; fi
if [ -n "$absent" ]; then printf 'not applied (old text not found once):\n%s' "$absent"; fi
if [ -n "$broken" ]; then printf 'not built (the fault does not compile):\n%s' "$broken"; fi
exit 0

# ---- the faults ------------------------------------------------------------
# Each is a slip a developer could make; the description says what the
# library then does wrong. Kept in the order of the folders.
: <<'__FAULTS__'

@ support/run.h | the member field is one byte short: a 99-character member name is refused
- constexpr int kMemberSize = 100;
+ constexpr int kMemberSize = 99;

@ adapter/cmdline.cpp | -PERM is read as a decimal number
- {kTokPerm, &o->nPerm, &perm_flag, 8},
+ {kTokPerm, &o->nPerm, &perm_flag, 10},

@ adapter/cmdline.cpp | a value one character longer than its field is taken (and cut)
- if (n < 1 || n > static_cast<size_t>(size - 1)) return false;
+ if (n < 1 || n > static_cast<size_t>(size)) return false;

@ adapter/cmdline.cpp | the name of -TE replaces the file named by -T
- if (!o->bTraceNamed && host_names) take_trace_name
+ if (host_names) take_trace_name

@ adapter/z9tar.cpp | the two missing-name refusals swap their texts
- refuse(rec, kInit, "Invalid_command_line_-_missing_entry_name");
-         stop = true;
-     }
-     if (opts->szArchive[0] == '\0') {
-         refuse(rec, kInit, "Invalid_command_line_-_missing_data_file_name");
+ refuse(rec, kInit, "Invalid_command_line_-_missing_data_file_name");
+         stop = true;
+     }
+     if (opts->szArchive[0] == '\0') {
+         refuse(rec, kInit, "Invalid_command_line_-_missing_entry_name");

@ adapter/z9tar.cpp | a run that reached the driver is not released (_done not called)
- _done();
-     int h, m, s;
+ int h, m, s;

@ adapter/archive.cpp | replace rule inverted: the archived copy goes when no local file is there
- if (stat(name, &local) != 0) {
+ if (stat(name, &local) == 0) {

@ adapter/archive.cpp | replace with update drops the archived copy when the local file is as old
- if (u_flag && local.st_mtime <= st.st_mtime) return Keep::keep;
+ if (u_flag && local.st_mtime < st.st_mtime) return Keep::keep;

@ adapter/archive.cpp | delete and replace miss one block passed over before a header
- bool passed_over = z9_blocks_taken() - before - ext_blocks() > 1;
+ bool passed_over = z9_blocks_taken() - before - ext_blocks() > 2;

@ adapter/archive.cpp | an end marker ends the copy whatever lies behind it
- if (end && behind_end_marker() != Behind::archive) return true;
+ if (end) return true;

@ adapter/archive.cpp | a replace that only appended counts as "archive unchanged"
- if (output_position() > before) changed = true;
+ (void)before;

@ adapter/archive.cpp | the "archive unchanged" path does not remove the scratch file
- hwrite = -1;
-         return delete_scratch();
+ hwrite = -1;
+         return true;

@ adapter/archive.cpp | a failed append is cut back but what it wrote behind the end marker stays
- for (int64_t at = end; at < old; at += kBlockSize)
-         if (pwrite(hwrite, zeros, kBlockSize, at) != kBlockSize) break;
+ (void)zeros;

@ tar/restore.cpp | a new file keeps what the process umask takes away, so modes lose bits
- fchmod(fd, bits);
+ (void)0;

@ tape/block.h | data_blocks counts one block too many for a whole number of blocks
- bytes / kBlockSize + (bytes % kBlockSize != 0)
+ bytes / kBlockSize + 1

@ tar/tar.h | HeaderText is one byte short: a 100-character name loses its last character
- char text[kNameLen + 1];
+ char text[kNameLen];

@ tar/header.cpp | the base-8 parse accepts the digit 8
- (d = p[i] - 0u - '0') < 8; i++)
+ (d = p[i] - 0u - '0') < 9; i++)

@ tar/header.cpp | the checksum counts its own field as zero bytes instead of blanks
- sum = sum - block[i] + ' ';
+ sum = sum - block[i];

@ tar/header.cpp | a numeric field may hold one digit more than its width
- ? i + static_cast<size_t>(maxdigits) : room;
+ ? i + static_cast<size_t>(maxdigits) + 1 : room;

@ tar/header.cpp | the 16-bit uid is widened with its sign: 0100000 and above become huge
- *value = static_cast<uint16_t>(id);
+ *value = id;

@ tar/header.cpp | -GID takes the value of -UID when reading
- if (gid_flag) st.st_gid = static_cast<gid_t>(mgid);
+ if (gid_flag) st.st_gid = static_cast<gid_t>(muid);

@ tar/header.cpp | every bad header writes the message, not only the first since the reset
- if (nskipped == 1) z9_error_text
+ if (nskipped >= 1) z9_error_text

@ tar/header.cpp | octal fields are written with leading zeros instead of blanks
- put_octal(f.first<kShortField - 2>(), value, ' ');
+ put_octal(f.first<kShortField - 2>(), value, '0');

@ tar/header.cpp | a new header's mode loses the set-id and sticky bits
- static_cast<short>(st.st_mode & 07777), ' ');
+ static_cast<short>(st.st_mode & 0777), ' ');

@ tar/header.cpp | a hard link member is taken to have data blocks
- {kTypeLink, ' ', false}
+ {kTypeLink, ' ', true}

@ tar/tar.cpp | '?' does not match '/'
- if (c != '?' && c != text[t]) return -1;
+ if ((c != '?' || text[t] == '/') && c != text[t]) return -1;

@ tar/tar.cpp | a '*' at the end of the pattern does not take the rest of the text
- if (pat[p] == '\0') return 0;
+ if (pat[p] == '\0') return 1;

@ tar/tar.cpp | a pattern that ends before the text matches it (a prefix match)
- return (c == '\0' && t == length) ? 0 : 1;
+ return c == '\0' ? 0 : 1;

@ tar/tar.cpp | inargs does not try the cuts at '/': "dir" no longer selects dir/x
- int r = mismatch(pattern, name, i);
+ int r = mismatch(pattern, name, len);

@ tar/tar.cpp | the walk stops after the first selected member
- (*acted)++;
+ (*acted)++;
+         return 1;

@ tar/tar.cpp | delete passes over a link member's size as data
- return usize() ? skipfile() : 1;
+ return skipfile();

@ tar/tar.cpp | prmode shows the set-gid letter for the set-uid bit
- text[6] = (mode & 02000)
+ text[6] = (mode & 04000)

@ tar/items.cpp | additem does not link the next node back to the new one
- if (insert->next) insert->next->prev = node;
+ (void)0;

@ tar/restore.cpp | extracted objects do not get the member's modification time
- times.modtime = st.st_mtime;
+ times.modtime = times.actime;

@ tar/extract.cpp | a regular member whose name ends in '/' has its data read as headers
- if (usize() && !skipfile()) return 0;
-         return make_dirs(name);
+ return make_dirs(name);

@ tar/restore.cpp | testdir does not say it made a directory, so newfile never retries
- made = 1;
+ (void)0;

@ tar/restore.cpp | newfile writes into the old inode: a hard link to it changes too
- if (stat(name, &old) == 0) unlink(name);
+ (void)old;

@ tar/restore.cpp | a second extent is extracted into memory
- if (extent >= 2) {
+ if (extent > 2) {

@ tar/restore.cpp | a failed extraction to a file leaves its descriptor open
- if (out.fd >= 0) pclosefile(out.fd);
-     if (!copied) return -1;
+ if (!copied) return -1;
+     if (out.fd >= 0) pclosefile(out.fd);

@ tar/savefile.cpp | update stores a file that is exactly as old as the archived copy
- return archived >= static_cast<int64_t>(st.st_mtime);
+ return archived > static_cast<int64_t>(st.st_mtime);

@ tar/savefile.cpp | a link member is followed by the file's data all the same
- link_member(path, item);
-         return 1;
+ link_member(path, item);

@ tar/savefile.cpp | a walk stores the archive's own file into itself
- if (is_the_archive()) return 1;
+ (void)is_the_archive;

@ tar/store.cpp | a directory walk goes on after an entry failed
- result = false;
-             break;
+ result = false;

@ tar/ustar.cpp | a device's major number is taken from the low byte
- static_cast<short>((st.st_rdev >> 8) & 0xff)
+ static_cast<short>(st.st_rdev & 0xff)

@ tape/tape.cpp | a create writes records of 20 blocks
- cblock = kMaxBlocks;
+ cblock = 20;

@ tape/tape.cpp | a record of a length that is not whole blocks is accepted
- if (got < kBlockSize || got % kBlockSize != 0) return read_error();
+ if (got < kBlockSize) return read_error();

@ tape/direct.cpp | bulk transfers may take one record past the archive's size
- return records < room ? records : room;
+ return records < room + 1 ? records : room + 1;

@ tape/direct.cpp | moff is not advanced past data read straight into memory
- moff += got;
+ (void)0;

@ tape/tape.cpp | the padding of a partial last block is not passed over
- rblock += spans;
+ rblock += static_cast<int>(n / kBlockSize);

@ tape/direct.cpp | a skip that lands past the archive's end is reported as done
- if (len < int64_t{passed} * kBlockSize || len % kBlockSize != 0) return false;
+ if (len % kBlockSize != 0) return false;

@ tape/tape.cpp | what lies behind the end marker is looked for from the read position
- for (off_t at = static_cast<off_t>(z9_blocks_taken() * kBlockSize);
+ for (off_t at = here;

@ tape/tape.cpp | a skip seeks over the record that holds its last block (< for <=)
- int64_t records = nblock > 0 ? (n - 1) / nblock : 0;
+ int64_t records = nblock > 0 ? n / nblock : 0;

@ tape/direct.cpp | a bulk copy does not write out the blocks waiting before it
- if (wblock > 0 && !put_blocks(wblock, "steptape")) return -1;
-     wblock = 0;
+ (void)0;

@ tape/direct.cpp | the last block taken back from a shrunken file is not zero filled
- memset(io_2nd + part, 0, static_cast<size_t>(kBlockSize - part));
+ (void)0;

@ tape/tape.cpp | the zero fill of a member's last block is dropped
- memset(at + got, 0, static_cast<size_t>(b) * kBlockSize - static_cast<size_t>(got));
+ (void)0;

@ tape/tape.cpp | the end marker is two zero blocks
- for (int markers = posix_flag ? 2 : 1; markers > 0; markers--) {
+ for (int markers = 2; markers > 0; markers--) {

@ tape/tape.cpp | endtape closes the output but leaves hwrite set
- hwrite = -1;
-         if (close(fd) != 0) {
+ if (close(fd) != 0) {

@ tape/backends.cpp | a memory transfer at an offset past the buffer's end is not refused
- if (moff < 0 || moff >= msize) return 0;
+ if (moff < 0) return 0;

@ tape/backends.cpp | blocks passed over by seeking are not counted in a catalog's total
- if (counting) allblock += static_cast<uint64_t>(blocks);
+ (void)0;

@ tape/tempname.cpp | a template without XXXXXX is used as the name itself
- tmpl[0] = '\0';
+ (void)0;

@ tape/tempname.cpp | the descriptor of a reserved output name is left open
- close(fd);
-     return 0;
+ return 0;

@ support/list.cpp | removing the tail leaves the new tail pointing at the freed node
- list->tail->next = nullptr;
+ (void)0;

@ support/list.cpp | removing an inner node leaves its successor pointing back at it
- node->next->prev = node->prev;
+ (void)0;

@ support/log.cpp | entries at the trace level itself are dropped (< for <=)
- severity > 0 && severity <= g_log.level;
+ severity > 0 && severity < g_log.level;

@ support/log.cpp | the truncate flag of OrvLogOpen is read backwards
- (truncate ? O_TRUNC : 0)
+ (truncate ? 0 : O_TRUNC)

@ support/text.cpp | z9_copy fills the whole field and writes its zero byte past the end
- size_t n = src ? strnlen(src, size - 1) : 0;
+ size_t n = src ? strnlen(src, size) : 0;

@ support/text.cpp | engine errors are logged at the wrong severity (9), above the trace level
- OrvLogEntry(module, line, kSevError, function, "%s", text);
+ OrvLogEntry(module, line, 9, function, "%s", text);

@ support/tokens.cpp | any '-' ends a value, also one inside a word
- return line[j] == '-' && line[j - 1] == kBlank;
+ return line[j] == '-';

@ support/orv.h | token values are cut at 255 characters
- constexpr int kTokenValueMax = 256;
+ constexpr int kTokenValueMax = 255;

@ host/z9tar-host.cpp | the host calls the put entry point for get and the get one for put
- o.verb == "get" ? cfg->pNames[2] : cfg->pNames[3];
+ o.verb == "get" ? cfg->pNames[3] : cfg->pNames[2];

# ---- faults 71 and on: the modern extensions -------------------------------
# The -POSIX dialect (posix.cpp, extended.cpp, ustar.cpp), -SAFE (safe.cpp),
# compressed archives (codec/, wrap.cpp) and the member index.

@ tar/posix.cpp | a pax record's length does not count its own digits
- len = rest + static_cast<size_t>(snprintf(nullptr, 0, "%zu", len));
+ len = rest;

@ tar/posix.cpp | base 256: the sign check goes, a positive value past 2^63 reads as negative
- if ((static_cast<int64_t>(v) < 0) != negative) return false;
+ (void)0;

@ tar/posix.cpp | ustar_split allows a 156-byte prefix, one more than its field holds
- kPrefix = kPrefixLen;
+ kPrefix = kPrefixLen + 1;

@ tar/posix.cpp | a negative pax time with a fraction comes out one second late
- t->tv_sec = -t->tv_sec - 1;
+ t->tv_sec = -t->tv_sec;

@ tar/extended.cpp | a kept member's extension headers are not copied with it (keep ignored)
- if ((keep || g_taken.chunks[i].global) && !copy_chunk(g_taken.chunks[i])) return false;
+ if (g_taken.chunks[i].global && !copy_chunk(g_taken.chunks[i])) return false;

@ tar/extended.cpp | 'g' records are applied only to the next member
- st.st_gid = static_cast<gid_t>(a->gid);
+ st.st_gid = static_cast<gid_t>(a->gid);
+     forget(&g_global);

@ tar/extended.cpp | the ustar prefix is joined to the name without a '/'
- "%.*s/%s"
+ "%.*s%s"

@ tar/posix.cpp | a sparse map cut at its 1 MiB bound is read as far as it was held
- bool good = !cut && sparse_held(s, static_cast<int64_t>(value.size()));
+ bool good = sparse_held(s, static_cast<int64_t>(value.size()));

@ tar/safe.cpp | -SAFE refuses nothing for '..' components
- if (len == 2 && p[0] == '.' && p[1] == '.') return Place::leaves;
+ (void)0;

@ tar/safe.cpp | -SAFE does not clear the set-user-ID bit
- constexpr int kSafeBits = 0755;
+ constexpr int kSafeBits = 04755;

@ adapter/archive.cpp | the -COMPRESS refusal of -a without -c is dropped
- if (!c_flag || d_flag) {
+ if (d_flag) {

@ tape/wrap.cpp | a compressed stream is not read to its end (z9_codec_drained returns early)
- if (!g_wrap.reader) return true;
+ if (g_wrap.reader) return true;

@ codec/reader.cpp | codec sniff takes any 1f 8b for gzip without trying to decode it
- bool real = codec_read(r, &first, 1) >= 0
+ bool real = c == Codec::gzip || codec_read(r, &first, 1) >= 0

@ codec/reader.cpp | a gzip seek point keeps where its read began, not where the decoder's input stood
- CodecPlace place = {r->in_at + static_cast<int64_t>(r->pos),
+ CodecPlace place = {r->in_at,

@ tar/index.cpp | the index is used while a trace file is open
- || u_flag || z9_log_is_open()) return -1;
+ || u_flag) return -1;

@ adapter/archive.cpp | an append does not drop the archive's index
- if (a_flag || d_flag) index_drop();
+ if (d_flag) index_drop();

@ tar/index.cpp | the index's literal-name selection does not take members below a directory
- if (name.size() == want.size() || name[want.size()] == '/') out[n++] = *p;
+ if (name.size() == want.size()) out[n++] = *p;

@ tar/index.cpp | an indexed member's header is not compared: a rewritten archive is trusted
- if (pread(handle, b, sizeof b, at) != kBlockSize || raw_sum(b) != m.sum) return false;
+ if (pread(handle, b, sizeof b, at) != kBlockSize) return false;

@ tape/lock.cpp | the locked file is not compared with the file under the archive's name
- if (stat(path, &named) != 0 || !same_file(named, locked)) return Lock::swapped;
+ if (stat(path, &named) != 0) return Lock::swapped;

@ tape/lock.cpp | a run gives up at once instead of waiting for another process's lock
- if (now_ns() >= deadline) return Got::late;
+ if (deadline > 0) return Got::late;

@ tape/tape.cpp | runs that write take a shared lock
- Lock lock = z9_lock_archive(handle, path, writable && (a_flag || d_flag), deadline);
+ Lock lock = z9_lock_archive(handle, path, false, deadline);

@ tape/tape.cpp | an append that had to make its archive walks the empty file instead of creating one
- if (a_flag && !d_flag && !emptying) c_flag = s.st_size == 0;
+ if (a_flag && !d_flag && !emptying) c_flag = 0;

@ adapter/archive.cpp | after the exchange of names the archive's name is removed, not the scratch name
- return delete_scratch() && z9_sync_directory(path);
+ return unlink(path) == 0 && z9_sync_directory(path);

@ tape/commit.cpp | the scratch file keeps the process's owner
- if (fchown(hwrite, sa.st_uid, sa.st_gid) != 0) {
+ if (true) {

@ tape/commit.cpp | the scratch file keeps its own mode
- if (fchmod(hwrite, sa.st_mode & 07777) == 0) return true;
+ if (fchmod(hwrite, 0644) == 0) return true;

@ tape/tape.cpp | an append writes in order, its header over the old end marker first
- z9_hold_from(record + int64_t{rblock} * kBlockSize);
+ (void)record;

@ tape/commit.cpp | no placeholder is written behind the old end marker
- if (!write_at(g_placeholder, kBlockSize, behind, function)) return false;
+ (void)0;

@ adapter/archive.cpp | free space behind the end marker is refused like another archive
- return header_checksum_ok(block) ? Behind::archive : Behind::free_space;
+ return Behind::archive;

@ adapter/archive.cpp | another archive behind the end marker is taken for free space
- return header_checksum_ok(block) ? Behind::archive : Behind::free_space;
+ return Behind::free_space;

@ adapter/archive.cpp | free space behind the end marker is not cut off before an append
- if (behind != Behind::free_space) return true;
+ if (true) return true;

@ tape/tape.cpp | -POSIX archives end with one zero block
- for (int markers = posix_flag ? 2 : 1; markers > 0; markers--) {
+ for (int markers = 1; markers > 0; markers--) {
# ---- the operator's policy, -STRICT, the host program and the set-up check ----

@ adapter/cmdline.cpp | -STRICT measures a cut value by what the token library kept
- size_t len = full_length(s.value, s.cut);
+ size_t len = full_length(s.value, false);

@ adapter/cmdline.cpp | -STRICT lets a valueless token carry text
- if (rule.kind == Kind::none && len)
+ if (rule.kind == Kind::none && len > kShown)

@ adapter/cmdline.cpp | -STRICT takes a second, different value of a token
- if (scan->seen[s.id] && first != s.value) {
+ if (scan->seen[s.id] && first.size() != s.value.size()) {

@ adapter/cmdline.cpp | -STRICT reads a decimal value as octal digits
- int base = kind == Kind::decimal ? 10 : 8;
+ int base = 8;

@ support/tokens.cpp | the last character of a value is reported as text outside any token
- if (line[i] != kBlank && i >= owned &&
+ if (line[i] != kBlank &&

@ adapter/z9tar.cpp | the operator's tokens go after the call's own, which then win
- memcpy(joined, policy, a);
-         joined[a] = ' ';
-         memcpy(joined + a + 1, line ? line : "", b + 1);
+ memcpy(joined, line ? line : "", b);
+         joined[b] = ' ';
+         memcpy(joined + b + 1, policy, a + 1);

@ adapter/z9tar.cpp | a call -STRICT refuses goes on to open the archive
- refuse(rec, kInit, mcmdline_error);
-         stop = true;
+ refuse(rec, kInit, mcmdline_error);

@ host/z9tar-host.cpp | an output the host could not write still exits 0
- return rec.nReturnCode == 0 && saved ? 0 : 1;
+ return rec.nReturnCode == 0 || !saved ? 0 : 1;

@ tools/deps.sh | a user without sudo gets the packages installed through a sudo that fails
- elif sudo -n true 2>/dev/null; then
+ elif true; then

@ codec/reader.cpp | after a gzip member, a lone byte 1f is taken for the start of the next one
- if (!has_signature(r->codec, p, have) && !zstd_skippable(r->codec, p, have)) {
+ if (!(have > 0 && p[0] == kSignatures[index_of(r->codec)].bytes[0]) && !zstd_skippable(r->codec, p, have)) {

@ codec/reader.cpp | a zstd archive that opens with a skippable frame is not taken for zstd
- size_t at = c == Codec::zstd ? past_skippable(p, n) : 0;
+ size_t at = 0;

@ codec/reader.cpp | anything that opens like a skippable frame is taken for zstd
- return at < n && has_signature(c, p + at, n - at);
+ return at >= n || has_signature(c, p + at, n - at);

@ tape/wrap.cpp | the sniff of a pipe reads once, however short the first piece
- got < codec_sniff_wants(h.bytes, got)) {
+ got == 0) {

@ codec/places.cpp | a read from a point takes the first point past the wanted offset
- const Point &p = g->points[i - 1];
+ const Point &p = g->points[i < g->count ? i : i - 1];

@ codec/reader.cpp | a reader resumed at a place counts its output from 0, not from the place
- r->made = static_cast<uint64_t>(place->out);
+ (void)0;

@ tar/index.cpp | the index takes the empty pattern of a listing run for a name
- if (pattern[0] == '\0' || strpbrk(pattern, "*?")) {
+ if (strpbrk(pattern, "*?")) {

@ tar/index.cpp | an archive with a member whose coded size passes its size is indexed
- if (codesize > st.st_size) return stop_building(true);
+ (void)0;

@ tar/index.cpp | the end-marker block is read but not looked at before the index is used
- return e.gzip || (pread(handle, &first, 1, static_cast<off_t>(e.end)) == 1 && first == 0);
+ return e.gzip || pread(handle, &first, 1, static_cast<off_t>(e.end)) == 1;

@ tar/index.cpp | an entry past the budget is built to the end
- if (entry_bytes(members, names) > g_budget) return stop_building(true);
+ (void)0;

@ tar/index.cpp | an archive known to get no index is built again by every walk
- if (same(u, id)) return true;
+ if (same(u, id)) return false;
@ tar/extract.cpp | the run's making operations are always the plain ones: -SAFE confines nothing
- makeops = safe_flag ? &kSafeMakeOps : &kPlainMakeOps;
+ makeops = &kPlainMakeOps;

@ tar/safe.cpp | -SAFE: a directory member over a file (a hard link to one outside) is not refused
- if (made->fd < 0 && (error == ENOTDIR || error == ELOOP)) {
+ if (made->fd < 0 && error == EINVAL) {

@ tar/safe.cpp | -SAFE: a directory member's directory is opened through a symbolic link in its place
- made->fd = open_dir(dir, base, false);
+ made->fd = open_dir(dir, base, true);

@ tar/safe.cpp | -SAFE: a hard link to its own name is made, deleting the file
- else if (same_entry(name, target))
+ else if (same_entry(name, target) && false)

@ tar/safe.cpp | -SAFE: a new file keeps what the process umask takes away
- fchmod(fd, bits);   // whatever the host's file-creation mask took away
+ (void)0;

@ tar/safe.cpp | -SAFE: a directory made on the way keeps what the process umask takes away
- if (next >= 0) fchmod(next, kDirMode);
+ (void)0;

@ tar/safe.cpp | -SAFE: extracted objects do not get the member's modification time
- futimens(made->fd, times);
+ (void)times;

@ tar/restore.cpp | a directory made keeps what the process umask takes away
- chmod(name, kDirMode);
+ (void)0;

@ tar/restore.cpp | a FIFO or device made keeps what the process umask takes away
- if (r == 0) chmod(name, mode & 07777);
+ (void)0;

@ tar/restore.cpp | without -SAFE and -o, the archive's owners are never given to what is made
- if (o_flag) return Owner::kept;
+ return Owner::kept;

@ tar/restore.cpp | the descriptor of a directory made under -SAFE is never closed
- if (made->fd >= 0) close(made->fd);
+ (void)0;

@ tar/tar.cpp | a refusal's message keeps the whole name and loses its reason at 99 characters
- size_t words = whole.size() - n.size() - g.size();
+ size_t words = 0;

@ tar/tar.cpp | the listing cuts a link target at 500 bytes
- char line[kLongNameMax + 16];
+ char line[kNameLen * 5];

@ tar/header.cpp | -POSIX: a size past the end of a regular-file archive is not refused
- else if (left >= 0 && st.st_size > left)
+ else if (left >= 0 && st.st_size > left + kExtHeaderMax)

@ tar/header.cpp | -POSIX: a size no archive offset can hold is not refused
- if (st.st_size > kMaxArchiveOffset - z9_blocks_taken() * kBlockSize)
+ if (st.st_size < 0)

@ tar/posix.cpp | -POSIX: a malformed pax mtime ends the walk instead of being passed over
-             ignore(a, key, value);
-         }
-     }
-     return true;
+             *why = "extended header time that is not one";
+             return false;
+         }
+     }
+     return true;

@ tar/extended.cpp | -POSIX: an extended header of more than 1 MiB is refused again, whatever its records
- if (left >= 0 && size > left) return Ext::bad;
+ if (size > kExtHeaderMax || (left >= 0 && size > left)) return Ext::bad;

@ tar/header.cpp | -POSIX: a number that fills its whole field is still bad
- if (!posix_flag) return false;
+ if (true) return false;

@ tar/header.cpp | a ustar magic with its zero byte is not told: the name prefix is dropped
- if (magic[5] != '\0') return Format::old;
+ if (magic[5] != '0') return Format::old;

@ tar/posix.cpp | sparse regions that overlap are not refused
- if (r.offset < end) return "its sparse map has regions that overlap";
+ if (r.offset < end && i == 0) return "its sparse map has regions that overlap";

@ tar/posix.cpp | a sparse map may run past the file's real size
- if (r.offset > real || r.bytes > real - r.offset) return "its sparse map runs past the file's size";
+ if (r.offset > real) return "its sparse map runs past the file's size";

@ tar/posix.cpp | a sparse map describing more data than the member stores is not refused
- return data > stored ? "its sparse map holds more data than the member" : nullptr;
+ return data > stored + kBlockSize ? "its sparse map holds more data than the member" : nullptr;

@ tar/extended.cpp | an old GNU sparse header's extension blocks are not read
- for (bool extended = g_head[kIsExtendedOff] != 0; more && extended;) {
+ for (bool extended = false; more && extended;) {

@ tar/extended.cpp | a delete keeps an old sparse header without its map blocks
- return copy_chunk(g_taken.after);
+ return true;

@ tar/sparse.cpp | a sparse file extracted to a file is not given its real size: a hole at its end is lost
- if (file_flag && ftruncate(fd, static_cast<off_t>(g_info.real)) != 0) {
+ if (file_flag && false) {

@ tar/sparse.cpp | a sparse region that ends inside a block: the next one starts at the following block
- rest_len = kBlockSize - need;
+ rest_len = 0;

@ tar/restore.cpp | a held link is made over a later member that took its place
- if (lstat(link.name, &s) != 0 || !still_held(link, s)) return Linked::replaced;
+ if (lstat(link.name, &s) != 0) return Linked::replaced;

@ tar/restore.cpp | a symbolic link gets no times of its own
- utimensat(AT_FDCWD, link.name, times, AT_SYMLINK_NOFOLLOW);
+ (void)times;

@ tar/safe.cpp | -SAFE: a link whose target passes through another link is made
- if (part == 1 && on_the_way && next < end && meets_link(path, true)) return true;
+ if (part == 1 && on_the_way && next < end && false) return true;

@ tar/safe.cpp | -SAFE: a symbolic link's '..' may climb above the root
- if (len == 0) return true;   // above the root
+ if (len == 0) break;

@ tar/store.cpp | -POSIX: a walk follows symbolic links as the classic one does
- } else if ((below && posix_flag ? lstat(path, &st) : stat(path, &st)) != 0) {
+ } else if ((below && posix_flag && false ? lstat(path, &st) : stat(path, &st)) != 0) {

@ tar/safe.cpp | -SAFE: a held link, refused or made, removes the member that took its place
- if (dir < 0 || fstatat(dir, base, &s, AT_SYMLINK_NOFOLLOW) != 0 || !still_held(link, s)) {
+ if (dir < 0 || fstatat(dir, base, &s, AT_SYMLINK_NOFOLLOW) != 0) {

@ tar/restore.cpp | a sparse map of several blocks in the data: its data are taken to run past the archive's end
- int64_t left = z9_archive_left(), data = sparse_member() ? sparse_stored() : st.st_size;
+ int64_t left = z9_archive_left(), data = st.st_size;

# ---- the codecs' workers (codec/pool.cpp, gzip.cpp, bzip2.cpp, writer.cpp) --
@ codec/gzip.cpp | a piece's last deflate block keeps its final flag: the gzip of workers ends after one piece
- b->out[header / 8] &= static_cast<unsigned char>(~(1u << (header % 8)));
+ (void)header;

@ codec/gzip.cpp | a piece's end puts the stored block's header in a byte of its own exactly when it would fit
- if (unused < kHeaderBits) b->out[b->out_len++] = 0;
+ if (unused >= kHeaderBits) b->out[b->out_len++] = 0;

@ codec/gzip.cpp | the last block's header is taken to be where the last block ends
- else *header = (n - z->avail_in) * 8
+ *header = (n - z->avail_in) * 8

@ codec/gzip.cpp | the pieces' CRCs are joined the wrong way round
- crc32_combine(crc, next,
+ crc32_combine(next, crc,

@ codec/pool.cpp | every piece gets the gzip header, not just the first
- size_t nhead = q.first ? p->bc->head(head) : 0;
+ size_t nhead = p->bc->head(head);

@ codec/pool.cpp | the caller does not wait for the oldest piece when every piece is in flight
- while (p->written < p->filled && write_next(p, p->written + p->count <= p->filled)) continue;
+ while (p->written < p->filled && write_next(p, false)) continue;

@ codec/pool.cpp | the trailer counts the input of the pieces but the last
- p->total += q.len;
+ p->total += q.last ? 0 : q.len;

@ codec/pool.cpp | Z9TAR_THREADS is not read: the CPUs decide
- if (end && *end == '\0' && n >= 1) return
+ if (end && *end == '\0' && n >= 1 && false) return

@ codec/bzip2.cpp | an empty last piece is written as an empty bzip2 stream
- if (b->len == 0 && !b->first) return true;
+ (void)0;

@ codec/writer.cpp | one thread also goes through the workers' pool
- if (threads > 1 && ops.blocks
+ if (threads > 0 && ops.blocks

@ tape/wrap.cpp | the run's writer is not closed at its end: its workers outlive the call
- if (g_wrap.writer) codec_writer_close(g_wrap.writer);
+ (void)0;

@ codec/xz.cpp | xz's workers get blocks of liblzma's own size: a few MiB make one block, one worker busy
- uint64_t size = rounds < 8 ? kBlockFirst << rounds : kBlockMax;
+ uint64_t size = rounds < 8 ? kBlockMax : kBlockMax;

@ codec/xz.cpp | the xz reader's workers are not waited for after a call that filled the output
- if (r->threads > 1 && rc == LZMA_OK && *made == 0 && r->pos == r->len)
+ if (false)
__FAULTS__
