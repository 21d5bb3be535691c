#pragma once

// What `ovoclip --help` prints.
inline constexpr char kOvoclipHelp[] =
    "ovoclip: cuts an XDS reflection file to an ellipsoid in reciprocal space.\n"
    "\n"
    "Dialogue (answers on standard input, one line each):\n"
    "  Please type in name of input script       -> the ovoclip input script\n"
    "  Please type in name of planeview script   -> the summary file to create\n"
    "\n"
    "The input script has five records: the XDS reflection file to cut and the\n"
    "truncated file to create (each the whole line, up to 4096 bytes), the cell\n"
    "a b c alpha beta gamma (6F8.2), the three ellipsoid axes row by row (9F12.4)\n"
    "and three resolution limits in Angstrom (3F12.4; the largest goes with axis\n"
    "1, the smallest with axis 3).\n"
    "\n"
    "Files written (all created new; an existing file is never overwritten):\n"
    "  <first 10 characters of the reflection file name>_reslimit.dat\n"
    "      INCLUDE_RESOLUTION_RANGE=500 and the highest limit, for XSCALE\n"
    "  the truncated reflection file: header, the reflections inside the\n"
    "      ellipsoid unchanged, !END_OF_DATA\n"
    "  the planeview script: reflections read, rejected, the mean F/sigma of\n"
    "      the rejected ones, reflections kept\n"
    "\n"
    "Exit status: 0 done; 1 the reflection file has no !END_OF_HEADER line\n"
    "(nothing cut); 2 a file could not be opened, read or written.\n"
    "\n"
    "Options: -h or --help, --version. Drivers give no arguments.\n";
