#!/usr/bin/env bash
# What a careful Linux user would script instead of chklist: find + awk, with the same effects.
# Run it in the directory to clean, like chklist. For blacklist.txt files, then whitelist.txt
# files, in chklist's listing order:
#   - prints "Generating file list... Please wait..." CR LF per pass, then per list file
#     "Checking PATH " + one "#" per dropped entry + CR LF (PATH absolute);
#   - keeps entries of at least 7 bytes (line end removed: LF or CR LF) holding "@", writes them
#     with CR LF to a temporary file beside the list, which then replaces the list by a rename
#     (the list keeps its permission bits);
#   - appends one record per dropped entry to chklist.log: MM-DD-YYYY padded to 14 columns,
#     HH:MM:SS padded to 28, the path padded to the next 14-column boundary (at least one blank),
#     the entry, CR LF.
#
# Listing order: a directory's own file, then its subdirectories in byte order of their names,
# depth first. `find | sort` alone is not that order ("a-b/x" sorts before "a/x", and "d/a/x"
# before "d/x"), so each path is sorted on a key in which every "/" becomes byte 0x02 and the
# directory part ends in 0x02 0x01. Names holding byte 0x01 or 0x02 would sort differently; names
# holding CR or LF are left out (chklist leaves them out too).
#
# The renames of one pass are done by one perl process after the awk pass (perl-base is part of
# every Debian system): one `mv` process per list file costs milliseconds each, which on 30,000
# small lists would dominate everything else. PEER_MV=each uses one `mv` per file instead (and so
# does a system without perl).
#
# PEER_FSYNC=1 makes the replacements durable as chklist's are: each cleaned copy is fsynced
# before its rename, and each directory that received one is fsynced once, after the pass's
# renames (the log is fsynced before them). It needs perl.
#
# Not reproduced (absent from the benchmark workloads): chklist's handling of NUL bytes at the
# end of a list file's last line (it drops them when no LF follows).
set -u
export LC_ALL=C
AWK=${AWK:-$(command -v mawk || command -v awk)}
here=$(pwd -P)
[ "$here" = / ] && here=

if [ "${PEER_MV:-perl}" = each ] || ! command -v perl > /dev/null; then
  renamer='while IFS= read -r f; do mv -f -- "$f.peer-tmp" "$f"; done'
elif [ "${PEER_FSYNC:-0}" = 1 ]; then
  renamer="perl -MIO::Handle -MFcntl -e 'my %dirs;
    while (defined(\$f = <STDIN>)) { chomp \$f; \$t = \"\$f.peer-tmp\";
      if (my @s = stat \$f) { chmod(\$s[2] & 07777, \$t) }
      my \$h; open(\$h, \"<\", \$t) and \$h->sync; close(\$h);
      if (rename(\$t, \$f)) { (my \$d = \$f) =~ s{/[^/]*\$}{}; \$dirs{\$d} = 1 }
      else { print STDERR \"cannot replace \$f: \$!\\n\" } }
    for my \$d (keys %dirs) { my \$h; sysopen(\$h, \$d, O_RDONLY | O_DIRECTORY) and \$h->sync }'"
else
  renamer="perl -e 'while (defined(\$f = <STDIN>)) { chomp \$f; \$t = \"\$f.peer-tmp\";
    if (my @s = stat \$f) { chmod(\$s[2] & 07777, \$t) }
    rename(\$t, \$f) or print STDERR \"cannot replace \$f: \$!\\n\" }'"
fi

clean_pass() {
  printf 'Generating file list... Please wait...\r\n'
  find . -name "$1" -type f ! -path $'*\n*' ! -path $'*\r*' -print |
    "$AWK" '{ d = $0; sub(/\/[^\/]*$/, "", d); gsub(/\//, "\002", d); print d "\002\001" $0 }' |
    sort |
    "$AWK" -v base="$here" -v renamer="$renamer" '
      BEGIN { ORS = "\r\n"; logfile = "chklist.log"; last = -1; blanks = "              " }
      {
        rel = substr($0, index($0, "\001") + 1)
        path = base substr(rel, 2)
        tmp = rel ".peer-tmp"
        pad = substr(blanks, 1, 14 - (28 + length(path)) % 14)
        printf "Checking %s ", path
        printf "" > tmp
        while ((r = (getline line < rel)) > 0) {
          if (line ~ /\r$/) line = substr(line, 1, length(line) - 1)
          if (length(line) >= 7 && index(line, "@")) {
            print line > tmp
          } else {
            printf "#"
            t = systime()
            if (t != last) { last = t; stamp = strftime("%m-%d-%Y    %H:%M:%S      ", t) }
            print stamp path pad line >> logfile
          }
        }
        close(rel)
        if (close(tmp) != 0 || r < 0) {
          printf " not cleaned\r\n"
          failed[++nfailed] = tmp
          next
        }
        printf "\r\n"
        done[++ndone] = rel
      }
      END {
        if (NR == 0) printf "File Not Found\n" > "/dev/stderr"
        fflush(logfile)
        close(logfile)
        if (ENVIRON["PEER_FSYNC"] == 1) system("sync " logfile)
        ORS = "\n"
        for (i = 1; i <= ndone; i++) print done[i] | renamer
        close(renamer)
        remover = "while IFS= read -r f; do rm -f -- \"$f\"; done"
        for (i = 1; i <= nfailed; i++) print failed[i] | remover
        close(remover)
      }'
}

clean_pass blacklist.txt
clean_pass whitelist.txt
