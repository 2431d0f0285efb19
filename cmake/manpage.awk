# Turns the tool's --help text (on stdin) into its manual page, so that the
# page never says other than the tool does. Variables: name, version, summary.
# The help text's shape: a "Usage:" block; paragraphs of description; blocks
# headed "Heading:" (or "Heading (note):") whose lines are "  term  text",
# continued on lines indented further; and paragraphs that start "Heading: ".
#   awk -v name=tarnwick -v version=1.0.0 -v summary="..." -f manpage.awk
function roff(text) {
    gsub(/\\/, "\\e", text)
    gsub(/-/, "\\-", text)
    sub(/^[.']/, "\\\\&&", text)
    return text
}
function section(heading) {
    if (heading == "Switches") return "OPTIONS"
    if (heading == "Exit codes") return "EXIT STATUS"
    if (heading == "Log") return "FILES"
    return toupper(heading)
}
function flush_item() {
    if (term != "") print ".TP\n.B " roff(term) "\n" roff(text)
    term = ""
    text = ""
}
function block(   i, line, heading, note, at) {
    if (count == 0) return
    if (lines[1] ~ /^Usage: /) {
        print ".SH SYNOPSIS\n.nf"
        for (i = 1; i <= count; i++) {
            line = lines[i]
            sub(/^(Usage:)? +/, "", line)
            sub(("^" name " "), "", line)
            print "\\fB" name "\\fR " roff(line)
        }
        print ".fi"
    } else if (lines[1] ~ /^[A-Z][^:]*:$/) {
        heading = substr(lines[1], 1, length(lines[1]) - 1)
        note = ""
        if (match(heading, / \(.*\)$/)) {
            note = substr(heading, RSTART + 2, RLENGTH - 3)
            heading = substr(heading, 1, RSTART - 1)
        }
        print ".SH " section(heading)
        if (note != "") print roff(toupper(substr(note, 1, 1)) substr(note, 2) ".")
        for (i = 2; i <= count; i++) {
            line = lines[i]
            if (line ~ /^  [^ ]/ && match(line, /[^ ]  +[^ ]/)) {
                flush_item()
                term = substr(line, 3, RSTART - 2)
                text = substr(line, RSTART + RLENGTH - 1)
            } else {
                sub(/^ +/, "", line)
                text = text " " line
            }
        }
        flush_item()
    } else if (match(lines[1], /^[A-Z][a-z ]*: /)) {
        print ".SH " section(substr(lines[1], 1, RLENGTH - 2))
        lines[1] = substr(lines[1], RLENGTH + 1)
        for (i = 1; i <= count; i++) print roff(lines[i])
    } else {
        if (!described) print ".SH DESCRIPTION"
        else print ".PP"
        described = 1
        for (i = 1; i <= count; i++) print roff(lines[i])
    }
    count = 0
}
BEGIN {
    print ".TH " toupper(name) " 1 \"\" \"" name " " version "\" \"User Commands\""
    print ".SH NAME\n" name " \\- " roff(summary)
}
/^$/ { block(); next }
{ lines[++count] = $0 }
END { block() }
