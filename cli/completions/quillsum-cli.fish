# fish completion for quillsum-cli

# The index in the names that follow of the option that word names: its own name, or the one long
# option it abbreviates, as getopt_long reads it. Nothing for a word that names none.
function __quillsum_cli_option --argument-names word
    set -l names $argv[2..]
    set word (string replace -r -- '=.*' '' $word)
    contains -i -- $word $names
    and return
    string match -q -- '--*' $word
    or return
    set -l found
    for i in (seq (count $names))
        string match -q -- "$word*" $names[$i]
        and set -a found $i
    end
    test (count $found) -eq 1
    and echo $found
end

# The options, numbers or folders that fit the cursor; with "files", whether file names do.
function __quillsum_cli_complete
    # Every option, one a line: its names, the long one followed by =NUMBER, =DIR or =FILE when it
    # takes one, then the modes it is accepted in: sum (the MD5s or fingerprints of files), tag (the
    # same, BSD style), check (-c), texts (--string), dups and dupstag (--duplicates, GNU or BSD
    # style), share and sharetag (the same with --dedupe), link and linktag (with --hardlink). An
    # option is offered while the options before it leave it a mode.
    set -l table \
        '-b --binary          sum tag dups dupstag share sharetag link linktag' \
        '-c --check           check' \
        '   --tag             tag dupstag sharetag linktag' \
        '-t --text            sum dups share link' \
        '-z --zero            sum tag texts dups dupstag share sharetag link linktag' \
        '-r --recursive       sum tag dups dupstag share sharetag link linktag' \
        '   --fingerprint     sum tag check' \
        '   --audit=DIR       check' \
        '   --duplicates      dups dupstag share sharetag link linktag' \
        '   --dedupe          share sharetag' \
        '   --hardlink        link linktag' \
        '   --update=FILE     sum tag' \
        '   --times           sum tag' \
        '   --exclude=FILE    sum tag check dups dupstag share sharetag link linktag' \
        '   --string          texts' \
        '-j --jobs=NUMBER     sum tag check texts dups dupstag share sharetag link linktag' \
        '   --ignore-missing  check' \
        '   --quiet           check' \
        '   --status          check' \
        '   --strict          check' \
        '-w --warn            check' \
        '   --windows-lists   check' \
        '   --help            sum tag check texts dups dupstag share sharetag link linktag' \
        '   --version         sum tag check texts dups dupstag share sharetag link linktag'

    set -l names
    set -l kinds
    set -l modes
    for line in $table
        set -l fields (string split -n ' ' -- $line)
        set -l kind (string match -r -- '=(.*)' $fields)[2]
        for name in (string match -- '-*' $fields)
            set -a names (string replace -r -- '=.*' '' $name)
            set -a kinds "$kind"
            set -a modes " "(string join " " -- (string match -v -- '-*' $fields))" "
        end
    end

    # The options before the cursor, and whether the cursor is at an option's argument (after -j,
    # --jobs or -bj, or in --jobs=) or past "--".
    set -l tokens (commandline -opc)[2..]
    set -l cur (commandline -ct)
    set -l given
    set -l argument
    set -l prefix
    set -l ended
    set -l k 0
    while test $k -lt (count $tokens)
        set k (math $k + 1)
        set -l word $tokens[$k]
        if test "$word" = --
            set ended yes
            break
        else if string match -q -- '--?*' $word
            set -l i (__quillsum_cli_option $word $names)
            test -n "$i"
            or continue
            set -a given $i
            if test -n "$kinds[$i]"; and not string match -q -- '*=*' $word
                set k (math $k + 1)
                test $k -gt (count $tokens)
                and set argument $kinds[$i]
            end
        else if string match -q -- '-?*' $word
            set -l letters (string split '' -- (string sub -s 2 -- $word))
            for j in (seq (count $letters))
                set -l i (contains -i -- -$letters[$j] $names)
                or continue
                set -a given $i
                if test -n "$kinds[$i]" # the rest of the word, or else the next one, is its argument
                    if test $j -eq (count $letters)
                        set k (math $k + 1)
                        test $k -gt (count $tokens)
                        and set argument $kinds[$i]
                    end
                    break
                end
            end
        end
    end
    if test -z "$ended"; and string match -q -- '--*=*' $cur
        set -l i (__quillsum_cli_option $cur $names)
        set argument $kinds[$i]
        set prefix (string replace -r -- '=.*' '=' $cur)
        set cur (string replace -r -- '^[^=]*=' '' $cur)
    end

    # The modes that every option given is accepted in.
    set -l left
    for mode in sum tag check texts dups dupstag share sharetag link linktag
        set -l all yes
        for i in $given
            string match -q -- "* $mode *" $modes[$i]
            or set all
        end
        test -n "$all"
        and set -a left $mode
    end

    if set -q argv[1] # files: whether file names fit here, which fish then completes
        test "$argument" = FILE
        and return
        test -z "$argument"
        and begin
            test -n "$ended"
            or not string match -q -- '-*' $cur
        end
        and test -n "$left" -a "$left" != texts # with --string the operands are texts
        return
    end
    switch "$argument"
        case NUMBER
            printf "$prefix%s\n" (seq (nproc))
        case DIR
            printf "$prefix%s\n" (__fish_complete_directories $cur)
        case ''
            if test -z "$ended"; and string match -q -- '-*' $cur
                for i in (seq (count $names))
                    for mode in $left
                        if string match -q -- "* $mode *" $modes[$i]
                            if string match -q -- '--*' $names[$i]; and test -n "$kinds[$i]"
                                echo $names[$i]=
                            else
                                echo $names[$i]
                            end
                            break
                        end
                    end
                end
            end
    end
end

complete -c quillsum-cli -f -a '(__quillsum_cli_complete)'
complete -c quillsum-cli -n '__quillsum_cli_complete files' -F
