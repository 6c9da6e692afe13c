# bash completion for quillsum-cli                                   -*- shell-script -*-

# The option that a long option's word names: its own name, or the one option it abbreviates, as
# getopt_long reads it; the word as it is otherwise.
_quillsum_cli_option() {
  local word=${1%%=*} option found=()
  if [[ $word == --* && ! ${modes[$word]+set} ]]; then
    for option in "${!modes[@]}"; do
      [[ $option == "$word"* ]] && found+=("$option")
    done
    ((${#found[@]} == 1)) && word=${found[0]}
  fi
  echo "$word"
}

_quillsum_cli() {
  # Every option, one a line: its names, the long one followed by =NUMBER, =DIR or =FILE when it
  # takes one, then the modes it is accepted in: sum (the MD5s or fingerprints of files), tag (the
  # same, BSD style), check (-c), texts (--string), dups and dupstag (--duplicates, GNU or BSD
  # style), share and sharetag (the same with --dedupe), link and linktag (with --hardlink). An
  # option is offered while the options before it leave it a mode.
  local table='
    -b --binary          sum tag dups dupstag share sharetag link linktag
    -c --check           check
       --tag             tag dupstag sharetag linktag
    -t --text            sum dups share link
    -z --zero            sum tag texts dups dupstag share sharetag link linktag
    -r --recursive       sum tag dups dupstag share sharetag link linktag
       --fingerprint     sum tag check
       --audit=DIR       check
       --duplicates      dups dupstag share sharetag link linktag
       --dedupe          share sharetag
       --hardlink        link linktag
       --update=FILE     sum tag
       --times           sum tag
       --exclude=FILE    sum tag check dups dupstag share sharetag link linktag
       --string          texts
    -j --jobs=NUMBER     sum tag check texts dups dupstag share sharetag link linktag
       --ignore-missing  check
       --quiet           check
       --status          check
       --strict          check
    -w --warn            check
       --windows-lists   check
       --help            sum tag check texts dups dupstag share sharetag link linktag
       --version         sum tag check texts dups dupstag share sharetag link linktag'

  local cur prev words cword split
  _init_completion -s || return

  local -A kind=() modes=()
  local -a fields names
  local field name line_kind line_modes
  while read -ra fields; do
    names=() line_kind='' line_modes=' '
    for field in "${fields[@]}"; do
      case $field in
      -*=*) names+=("${field%%=*}") line_kind=${field#*=} ;;
      -*) names+=("$field") ;;
      *) line_modes+="$field " ;;
      esac
    done
    for name in "${names[@]}"; do
      kind[$name]=$line_kind modes[$name]=$line_modes
    done
  done <<<"$table"

  # The options before the cursor, and whether the cursor is at an option's argument (after -j,
  # --jobs or -bj; after "--jobs=", _init_completion has split it off) or past "--".
  local -a given=()
  local argument='' ended='' word k i
  if [[ $split == true ]]; then
    argument=${kind[$(_quillsum_cli_option "$prev")]-}
  fi
  for ((k = 1; k < cword; k++)); do
    word=${words[k]}
    if [[ $word == -- ]]; then
      ended=yes
      break
    elif [[ $word == --?* ]]; then
      name=$(_quillsum_cli_option "$word")
      given+=("$name")
      if [[ $word != *=* && ${kind[$name]-} ]]; then
        ((++k == cword)) && argument=${kind[$name]}
      fi
    elif [[ $word == -?* ]]; then
      for ((i = 1; i < ${#word}; i++)); do
        name=-${word:i:1}
        given+=("$name")
        if [[ ${kind[$name]-} ]]; then # the rest of the word, or else the next one, is its argument
          ((i + 1 == ${#word})) && ((++k == cword)) && argument=${kind[$name]}
          break
        fi
      done
    fi
  done

  # The modes that every option given is accepted in; an unknown one leaves them all.
  local left=' ' mode
  for mode in sum tag check texts dups dupstag share sharetag link linktag; do
    for name in "${given[@]}"; do
      [[ ${modes[$name]-" $mode "} == *" $mode "* ]] || continue 2
    done
    left+="$mode "
  done

  case $argument in
  NUMBER) mapfile -t COMPREPLY < <(compgen -W "$(seq "$(nproc)")" -- "$cur") ;;
  DIR) _filedir -d ;;
  FILE) _filedir ;;
  *)
    if [[ ! $ended && $cur == -* ]]; then
      local -a offered=()
      for name in "${!modes[@]}"; do
        for mode in $left; do
          if [[ ${modes[$name]} == *" $mode "* ]]; then
            [[ $name == --* && ${kind[$name]} ]] && offered+=("$name=") || offered+=("$name")
            break
          fi
        done
      done
      mapfile -t COMPREPLY < <(compgen -W "${offered[*]}" -- "$cur")
      [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
    elif [[ $left != ' ' && $left != ' texts ' ]]; then # with --string the operands are texts
      _filedir
    fi
    ;;
  esac
} &&
  complete -F _quillsum_cli quillsum-cli
