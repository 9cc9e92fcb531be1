# bash completion for volquill: the options before the image, then disc image
# files (*.iso, *.img, *.udf in any case), directories to descend into and
# block devices. After the image comes the label, free text: nothing is offered;
# with -l or --json every word is an image. After --label and each identifier
# option comes its text, free text too; after --write-protect, on or off. The
# options are those of `volquill --help` (tests/completion_test.sh checks).
_volquill() {
  local cur=${COMP_WORDS[COMP_CWORD]} word name path i options=1 images=0
  COMPREPLY=()
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if ((options)); then
      case $word in
        -u | --uuid | -[!-]*u) # takes the next word: 16 hexadecimal digits or "random"
          if ((++i == COMP_CWORD)); then
            mapfile -t COMPREPLY < <(compgen -W random -- "$cur")
            return 0
          fi
          continue ;;
        --write-protect) # takes the next word: on or off
          if ((++i == COMP_CWORD)); then
            mapfile -t COMPREPLY < <(compgen -W 'on off' -- "$cur")
            return 0
          fi
          continue ;;
        --label | --vid | --lvid | --fsid | --vsid | --fullvsid | --owner | --organization | --contact | \
          --appid | --impid) # takes the next word, free text
          ((++i == COMP_CWORD)) && return 0
          continue ;;
        --list | --json) images=1; continue ;;
        --) options=0; continue ;;
        -[!-]*)
          [[ ${word%%u*} == *l* ]] && images=1
          continue ;;
        -?*) continue ;;
      esac
    fi
    ((images)) && continue
    return 0 # word i is the image: what follows is the label, free text
  done
  if ((options)) && [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W '-h --help -V --version -n --dry-run -f --force -v --verbose
      -l --list --label -u --uuid --json --vid --lvid --fsid --vsid --fullvsid --owner --organization
      --contact --appid --impid --write-protect --' -- "$cur")
    return 0
  fi
  while IFS= read -r name; do
    case ${name,,} in
      *.iso | *.img | *.udf) COMPREPLY+=("$name") ;;
      *) # compgen leaves a leading ~/ unexpanded
        path=$name
        [[ $path == "~/"* ]] && path=$HOME/${path#"~/"}
        if [[ -d $path || -b $path ]]; then COMPREPLY+=("$name"); fi ;;
    esac
  done < <(compgen -f -- "$cur")
  return 0
}
complete -o filenames -F _volquill volquill
