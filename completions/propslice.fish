# fish completion for propslice: its four options, and ZELK2 models (files
# ending in .zelk, reached through directories), but not the outputs of a
# model beside them: NAME-pDIGITS.zelk is left out where NAME.zelk exists.

function __propslice_models
    set -l token (commandline -ct)
    for path in $token*
        if test -d $path
            printf '%s/\n' $path
        else if string match -q -- '*.zelk' $path
            set -l model (string replace -r -- '-p[0-9]+\.zelk$' '.zelk' $path)
            if test "$model" = "$path"; or not test -e "$model"
                printf '%s\n' $path
            end
        end
    end
end

complete -c propslice -f
complete -c propslice -s h -l help -d 'Print the usage text and exit'
complete -c propslice -s v -d 'Print progress messages'
complete -c propslice -s f -d 'Overwrite outputs that already exist'
complete -c propslice -a '(__propslice_models)' -d 'ZELK2 model'
