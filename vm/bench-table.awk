# The table of scripts/bench-host.sh and scripts/bench-libvirt.sh, from
# the RESULT lines of vm/bench_rounds.py:
#
#   awk -v title=TITLE -v base=TOOL -v mib=MIB -v rounds=ROUNDS -f vm/bench-table.awk raw.txt
#
# Medians per direction and tool, in the order the tools first came; a
# tool's ratio is the median of base's time over its own, round by round.
# A direction a tool has no run in has no row.
function median(list,   n, a, i, j, t) {
  n = split(list, a, " ")
  for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
  return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
/^RESULT/ {
  delete f
  for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
  if (!(f["tool"] in seen)) { seen[f["tool"]] = 1; order[++ntools] = f["tool"] }
  tried[f["dir"], f["tool"]] = 1
  if (f["complete"] != 1) { bad++; badlist = badlist "\n  " $0; next }
  k = f["dir"] SUBSEP f["tool"]
  wall[k] = wall[k] " " f["wall"]; end[k] = end[k] " " f["end"] - f["wall"]
  run[k, f["round"]] = f["wall"]; n[k]++
}
END {
  printf "## %s: %d MiB, median of %d runs each; × %s is the median of the ratios of %s's time to the tool's in the same round (above 1: faster)\n\n", title, mib, rounds, base, base
  print "| direction | host tool | s | MiB/s | × " base " | then to its end, s | runs |"
  print "|---|---|---:|---:|---:|---:|---:|"
  split("read write", dirs, " ")
  dirname["read"] = "host → guest (`chanpipe r`)"; dirname["write"] = "guest → host (`chanpipe w`), to the last byte"
  for (d = 1; d <= 2; d++) for (t = 1; t <= ntools; t++) {
    if (!((dirs[d], order[t]) in tried)) continue
    k = dirs[d] SUBSEP order[t]; b = dirs[d] SUBSEP base; r = ""
    for (i = 1; i <= rounds; i++)
      if (((k, i) in run) && ((b, i) in run)) r = r " " run[b, i] / run[k, i]
    printf "| %s | %s | %.2f | %.1f | %.2f | %.2f | %d |\n", dirname[dirs[d]], order[t],
      median(wall[k]), mib / median(wall[k]), median(r), median(end[k]), n[k]
  }
  if (bad) printf "\n%d runs failed or were incomplete and are left out:%s\n", bad, badlist
}
