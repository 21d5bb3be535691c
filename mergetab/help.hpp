#pragma once

// What `mergetab --help` (and `mergetab-rsym --help`) prints.
inline constexpr char kMergetabHelp[] =
    "mergetab: the statistics by resolution shell of a starting and a final\n"
    "XSCALE run, side by side in an HTML <pre> table (mergetab-rsym heads the\n"
    "R column \"rsym\" instead of \"rmerge\").\n"
    "\n"
    "Dialogue (answers on standard input, one line each, a name up to 4096 bytes):\n"
    "  Please name starting XSCALE.LP file   -> the log of the starting run\n"
    "  Please name final XSCALE.LP file      -> the log of the final run\n"
    "  Please name output statistics file    -> the table to create\n"
    "\n"
    "In each log the table follows the first line with \"= -3.0\" in columns\n"
    "46-51 (in a CORRECT log, the first such line after STATISTICS OF SAVED DATA\n"
    "SET: the whole data set): three lines are skipped, then the shell rows are\n"
    "read up to the \"total\" row (21 rows when no total row comes). Shells of\n"
    "equal limits share a line, a shell of one log only has a line of its own\n"
    "(a note on standard error says so), the totals share the last line. A value\n"
    "XDS marks undefined (-99.9, -99.0) is left blank.\n"
    "\n"
    "File written (created new; an existing file is never overwritten):\n"
    "  the statistics file: <pre>, two headers, one line a shell of observed count,\n"
    "      redundancy, completeness, R-factor and I/sigma (before/after), </pre>\n"
    "\n"
    "Exit status: 0 done; 1 a log has no \"= -3.0\" line (the statistics file is\n"
    "left empty); 2 a file could not be opened, read or written.\n"
    "\n"
    "Options: -h or --help, --version. Drivers give no arguments.\n";
