#pragma once

// What `planeview --help` prints.
inline constexpr char kPlaneviewHelp[] =
    "planeview: draws one PostScript page of pseudo-precession images of the\n"
    "h=0, k=0 and l=0 planes of four stages of a data set (init, trunc, aniso,\n"
    "iso), with a paragraph giving the numbers of the truncation and of the B.\n"
    "\n"
    "Dialogue (answers on standard input, one line each, a name up to 4096 bytes):\n"
    "  Please type ovoclip input file        -> the ovoclip input script (cell, limits)\n"
    "  Type fin file with 4 data sets        -> h, k, l and F, sigF of the four stages\n"
    "  Type output ps file                   -> the PostScript page to create\n"
    "  Please type the planeview input file  -> the summary written by ovoclip\n"
    "  Please type the cad -B input file     -> the CAD script written by honer\n"
    "\n"
    "The fin file has one reflection a line in (3I4,8F12.2): h, k, l, then F and\n"
    "sigF of init, trunc, aniso and iso. An F of exactly 0 means absent. It is\n"
    "read twice: once for the mean F of each stage, once to draw.\n"
    "\n"
    "File written (created new; an existing file is never overwritten):\n"
    "  the report page: twelve panels of dots (gray by F against the stage's\n"
    "      mean F, red where F/sigF is 2.5 or less), the paragraph, a legend\n"
    "\n"
    "Exit status: 0 done; 2 a file could not be opened, read or written.\n"
    "\n"
    "Options: -h or --help, --version. Drivers give no arguments.\n";
