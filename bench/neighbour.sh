#!/usr/bin/env bash
# 20 small lists beside 1 GiB of another program's dirty pages on the same disk (/var/tmp): how
# many dirty pages survive a run, and how long the run takes beside them and alone. Needs root
# (it raises vm.dirty_background_ratio and vm.dirty_ratio for the measurement, then puts them
# back). Usage: bench/neighbour.sh ABSOLUTE_PATH_OF_CHKLIST
set -euo pipefail
chk=$1
dir=/var/tmp/neighbour.$$
mkdir -p $dir/tree
old_bg=$(sysctl -n vm.dirty_background_ratio); old_r=$(sysctl -n vm.dirty_ratio)
sysctl -qw vm.dirty_background_ratio=50 vm.dirty_ratio=60
trap 'sysctl -qw vm.dirty_background_ratio=$old_bg vm.dirty_ratio=$old_r; rm -rf $dir' EXIT
make_tree() { rm -rf $dir/tree; mkdir -p $dir/tree; for i in $(seq 1 20); do mkdir -p $dir/tree/d$i; printf 'ok%d@example.org\nbad\n' $i > $dir/tree/d$i/blacklist.txt; done; }
sync
make_tree; sync
t0=$(date +%s%N); (cd $dir/tree && $chk >/dev/null); t1=$(date +%s%N)
echo "quiet: $(( (t1-t0)/1000000 )) ms"
make_tree; sync
dd if=/dev/zero of=$dir/neighbour bs=1M count=1024 status=none
before=$(awk '/^Dirty:/ {print $2}' /proc/meminfo)
t0=$(date +%s%N); (cd $dir/tree && $chk >/dev/null); t1=$(date +%s%N)
after=$(awk '/^Dirty:/ {print $2}' /proc/meminfo)
echo "beside: $(( (t1-t0)/1000000 )) ms; dirty before ${before} kB, after ${after} kB"
