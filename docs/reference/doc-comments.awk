# Doxygen's input filter for the installed headers: their comments are plain "//" comments, as
# everywhere in KIVO; this turns them into documentation as Doxygen reads it, without changing
# what the headers say.
#   - The comment at the top of a header documents the file.
#   - A comment block documents the declarations that follow it up to the next blank line,
#     comment or access specifier: several declarations under one comment form a member group
#     that shares it (DISTRIBUTE_GROUP_DOC).
#   - A comment after a declaration on its line ("int X; // ...") documents that declaration.
#   - Comments inside bodies, NOLINT and clang-format markers and "// ----" rulers stay plain.
# Characters Doxygen would read as commands or markup are escaped outside `code spans`.

function escape_text(text,    out, c, i, in_code) {
    out = ""
    in_code = 0
    for (i = 1; i <= length(text); i++) {
        c = substr(text, i, 1)
        if (c == "`") {
            in_code = !in_code
        } else if (!in_code && index("\\@<>&#%$", c) > 0) {
            out = out "\\"
        }
        out = out c
    }
    return out
}

function is_plain_marker(text) {
    return text ~ /^[ \t]*\/\/[ \t]*(NOLINT|clang-format|----)/
}

function comment_text(line) {
    sub(/^[ \t]*\/\/ ?/, "", line)
    return line
}

# A line that begins a type's or namespace's definition, whose members are documented one
# by one.
function is_type(line) {
    return line ~ /^[ \t]*(template[ \t]*<.*>[ \t]*)?(class|struct|enum|union|namespace)([ \t]|$)/
}

function indent_of(line) {
    match(line, /^[ \t]*/)
    return substr(line, 1, RLENGTH)
}

function close_group() {
    if (group_open) {
        print group_indent "///@}"
        group_open = 0
    }
}

function braces(line,    opened, closed, stripped) {
    stripped = line
    sub(/\/\/.*$/, "", stripped)
    gsub(/"([^"\\]|\\.)*"/, "", stripped)
    gsub(/'([^'\\]|\\.)*'/, "", stripped)
    opened = gsub(/\{/, "{", stripped)
    closed = gsub(/\}/, "}", stripped)
    return opened - closed
}

BEGIN {
    at_top = 1          # before the first line of code
    depth = 0           # braces open inside a documented run (a body)
    pending = 0         # comment lines waiting for their declaration
    group_open = 0
    last_trailing = 0   # the line before had a comment after its declaration
}

{
    line = $0
    is_comment = line ~ /^[ \t]*\/\//
    is_blank = line ~ /^[ \t]*$/

    # Inside a body that a documented run opened: plain code.
    if (depth > 0) {
        print line
        depth += braces(line)
        next
    }

    if (is_comment && !is_plain_marker(line)) {
        text = comment_text(line)
        if (at_top) {
            if (!file_documented) {
                print "/// @file"
                file_documented = 1
            }
            print "/// " escape_text(text)
            next
        }
        if (last_trailing && !pending && length(indent_of(line)) > last_code_indent) {
            # The rest of a comment that follows a declaration.
            print indent_of(line) "///< " escape_text(text)
            next
        }
        close_group()
        pending_lines[++pending] = indent_of(line) "/// " escape_text(text)
        pending_indent = indent_of(line)
        next
    }
    last_trailing = 0

    if (is_blank || is_comment || line ~ /^#/) {
        if (line !~ /^#pragma/ && line ~ /^#/) {
            at_top = 0
        }
        close_group()
        # A comment that documents nothing: at file scope it belongs to the file's description
        # (the thread rules of a header); inside a class it stays a plain comment (a heading).
        if (pending && pending_indent == "") {
            print "/// @file"
        }
        for (i = 1; i <= pending; i++) {
            if (pending_indent != "") {
                sub(/\/\/\/ /, "// ", pending_lines[i])
            }
            print pending_lines[i]
        }
        pending = 0
        print line
        next
    }
    at_top = 0

    if (line ~ /^[ \t]*(public|protected|private):/ || line ~ /^[ \t]*\}/) {
        close_group()
    }

    if (pending) {
        # Types are documented one by one; a run of declarations forms a group.
        if (!is_type(line) &&
            line !~ /^[ \t]*(public|protected|private):/ && line !~ /^[ \t]*\}/) {
            group_indent = pending_indent
            print group_indent "///@{"
            group_open = 1
        }
        for (i = 1; i <= pending; i++) {
            print pending_lines[i]
        }
        pending = 0
    }

    last_code_indent = length(indent_of(line))
    # A comment after the declaration on its line.
    if (match(line, /[;,{)][ \t]+\/\/ /) && !is_plain_marker(substr(line, RSTART + 1))) {
        code = substr(line, 1, RSTART)
        text = substr(line, RSTART + 1)
        sub(/^[ \t]+\/\/ /, "", text)
        line = code " ///< " escape_text(text)
        last_trailing = 1
    }
    print line
    b = braces(line)
    if (b > 0 && !is_type(line)) {
        depth = b # a body: its comments stay plain
    }
}

END {
    close_group()
}
