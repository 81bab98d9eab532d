# bash completion for propslice: its four options, and ZELK2 models (files
# ending in .zelk, reached through directories), but not the outputs of a
# model beside them: NAME-pDIGITS.zelk is left out where NAME.zelk exists.

_propslice() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '-h --help -v -f' -- "$cur")
        return
    fi
    local path
    while IFS= read -r path; do
        if [[ -d $path ]]; then
            COMPREPLY+=("$path")
        elif [[ $path == *.zelk ]]; then
            if [[ $path =~ ^(.*)-p[0-9]+\.zelk$ && -e ${BASH_REMATCH[1]}.zelk ]]; then
                continue
            fi
            COMPREPLY+=("$path")
        fi
    done < <(compgen -f -- "$cur")
}

complete -o filenames -F _propslice propslice
