# bash completion for gzarc: the commands, each command's options, archives
# (*.gz and folders) for list, extract and delete, folders after -C.
# Stands alone; it needs none of the bash-completion package's helpers.

_gzarc_files() {
  # Names starting with $2; with $1 = gz only *.gz files (any case) and folders.
  local name
  compopt -o filenames 2>/dev/null
  while IFS= read -r name; do
    if [[ $1 != gz || -d $name || ${name,,} == *.gz ]]; then COMPREPLY+=("$name"); fi
  done < <(compgen -f -- "$2")
}

_gzarc() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local i command="" operands=0
  COMPREPLY=()
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      --engine | -C | -m | --mask) ((i++)) ;;
      -*) ;;
      *) if [[ -z $command ]]; then command=${COMP_WORDS[i]}; else ((operands++)); fi ;;
    esac
  done

  case $prev in
    --engine) _gzarc_files any "$cur"; return ;;
    -C) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- "$cur")); return ;;
    -m | --mask) return ;;
  esac

  local options="-q --quiet --engine -h --help"
  case $command in
    "") options+=" --version" ;;
    list) options+=" -m --mask --json" ;;
    extract) options+=" -m --mask -C --overwrite --skip-existing" ;;
    create) options+=" -C -f --force" ;;
    delete) options+=" -m --mask" ;;
    demo) options+=" --keep" ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return
  fi
  case $command in
    "") COMPREPLY=($(compgen -W "list extract create delete demo" -- "$cur")) ;;
    list | extract | delete) _gzarc_files gz "$cur" ;;
    create) if ((operands == 0)); then _gzarc_files gz "$cur"; else _gzarc_files any "$cur"; fi ;;
  esac
}

complete -F _gzarc gzarc
