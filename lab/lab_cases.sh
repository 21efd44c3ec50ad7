# shellcheck shell=bash
# The fault matrix's table. Each group file in lab/cases/ registers its cases
# here and defines them; scripts/lab.sh reads the table outside the sandbox
# (which case runs on which home) and runs one case per sandbox inside it.
#
#   lab_case NAME HOMES KIND "WHAT HAPPENS"
#     HOMES  the homes it runs on by default (static, dhcp, networkmanager,
#            hostile)
#     KIND   must (the run fails when the case does) or info (recorded only)
#   case_NAME (dashes as underscores)
#            the fault itself, run after setup and a start through the
#            channel; it proves what it must with "proof"; the common
#            judgement after stop follows it
#   prepare_NAME (optional)
#            runs before setup: the home's families, the server's name, or
#            LAB_CASE_NO_START=1 for a case whose fault is in the first start
#   lab_case_long NAME
#            a case that takes minutes: the matrix starts it first, so that
#            the short ones run beside it

# The tables are read by scripts/lab.sh.
# shellcheck disable=SC2034
LAB_CASES=()
declare -A LAB_CASE_HOMES=() LAB_CASE_KIND=() LAB_CASE_WHAT=() LAB_CASE_LONG=()

lab_case() {
  LAB_CASES+=("$1")
  LAB_CASE_HOMES[$1]=$2
  LAB_CASE_KIND[$1]=$3
  LAB_CASE_WHAT[$1]=$4
}

lab_case_long() { LAB_CASE_LONG[$1]=1; }

lab_case_known() { [ -n "${LAB_CASE_KIND[$1]:-}" ]; }

_lab_cases_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/cases
for _lab_group in "$_lab_cases_dir"/*.sh; do
  # shellcheck source=/dev/null
  . "$_lab_group"
done
unset _lab_group _lab_cases_dir
