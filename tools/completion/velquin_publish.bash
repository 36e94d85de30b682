# bash completion for velquin_publish: its options, host names after -H, and files after
# "-jv @" (the JSON value read from a file).
_velquin_publish() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]:-}
  local before=${COMP_WORDS[COMP_CWORD - 2]:-}
  COMPREPLY=()

  # "@" breaks words when it is in COMP_WORDBREAKS (bash's default): "-jv @fi" then arrives
  # as "-jv" "@" "fi" and readline replaces only "fi".
  if [ "$prev" = @ ]; then
    case $before in -jv|--jsonvalue) _velquin_publish_files "$cur" "" ;; esac
    return 0
  fi
  case $prev in
    -jv|--jsonvalue)
      case $cur in
        # Alone, "@" is either a word of its own (it breaks words) or the start of this one.
        @) if [[ ${COMP_WORDBREAKS-} == *@* ]]; then _velquin_publish_files "" ""
           else _velquin_publish_files "" @; fi ;;
        @*) _velquin_publish_files "${cur#@}" @ ;;
      esac
      return 0 ;;
    -H|--host)
      mapfile -t COMPREPLY < <(compgen -A hostname -- "$cur")
      return 0 ;;
    -P|--port|-p|--path|-k|--key|-v|--value|--connect-timeout|--max-time)
      return 0 ;;
  esac
  case $cur in
    -*)
      mapfile -t COMPREPLY < <(compgen -W '-H --host -P --port -c --config -o --command
        -p --path -k --key -v --value -jv --jsonvalue --connect-timeout --max-time
        --help --version' -- "$cur") ;;
  esac
  return 0
}

# Files and folders starting with $1, each preceded by $2.
_velquin_publish_files() {
  local f
  while IFS= read -r f; do
    [ -d "$f" ] && f+=/
    COMPREPLY+=("$2$f")
  done < <(compgen -f -- "$1")
  [ ${#COMPREPLY[@]} -eq 1 ] && [[ ${COMPREPLY[0]} == */ ]] && compopt -o nospace 2>/dev/null
  return 0
}

complete -F _velquin_publish velquin_publish
