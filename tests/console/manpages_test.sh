#!/bin/sh
# Each man page renders without a warning from groff (an unknown request,
# macro or escape), and no alternating-font macro (.BR, .IR...) has an
# unquoted argument holding a quote: such a line loses its blanks, since the
# macro joins its arguments without any. Skipped (77) where groff is not
# installed.
command -v groff >/dev/null 2>&1 || { echo "groff is not installed: skipped"; exit 77; }
status=0
for page in "$1"/*.[0-9]; do
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    if [ -n "$warnings" ]; then
        printf '%s:\n%s\n' "$page" "$warnings"
        status=1
    fi
    if grep -nE '^\.(BR|RB|IR|RI|BI|IB)( +"[^"]*")* +[^" ][^ ]*"' "$page"; then
        echo "$page: a quote inside an unquoted argument of the lines above; quote the argument, \\(dq for a quote"
        status=1
    fi
done
exit $status
