# shellcheck shell=bash
# Sourced by the CI stages after `set -euo pipefail`. set -e ends a stage at
# its first failing command, which may have said nothing (its output sent
# away, or a pipeline's status); this names that command first, with its
# line and status, on standard error. A command inside ( ... ) or $( ... )
# is named by the whole line that ran it.
set -E
ci_failed() {
  [ "$BASH_SUBSHELL" != 0 ] || echo "${0#./}: line $2 failed (status $1): $3" >&2
}
trap 'ci_failed $? $LINENO "$BASH_COMMAND"' ERR
