#pragma once

// What `bapply --help` prints.
inline constexpr char kBapplyHelp[] =
    "bapply: applies the scale and B factor of honer's cad input file to an MTZ\n"
    "file, as CAD runs that file: F' = scale x F x exp(-B s^2 / 4), s = 1/d,\n"
    "sigma scaled alike, for the two LABI columns, written as the LABO columns.\n"
    "\n"
    "Dialogue (answers on standard input, one line each, a name up to 4096 bytes):\n"
    "  Type cad input file         -> the cad input file to read (from honer)\n"
    "  Type MTZ file to read       -> the MTZ file with the LABI columns\n"
    "  Type MTZ file to create     -> the MTZ file to write\n"
    "\n"
    "The cad input file holds five records and nothing else: title, SCAL\n"
    "FILE_NUMBER 1 <scale> <B>, LABI FILE 1 E1=<F> E2=<sigma>, LABO FILE 1\n"
    "E1=<F'> E2=<sigma'>, end. The LABI columns must be of MTZ types F and Q.\n"
    "\n"
    "File written (created new, whole or not at all): every column of the MTZ\n"
    "file read, with its cell, space group and history, plus the two LABO\n"
    "columns; a missing value stays missing.\n"
    "\n"
    "Exit status: 0 done; 1 no reflection has both LABI values (no file); 2 a\n"
    "file could not be opened, read or written, or holds what is not expected.\n"
    "\n"
    "Options: -h or --help, --version. Drivers give no arguments.\n";
