#pragma once

// What `honer --help` prints.
inline constexpr char kHonerHelp[] =
    "honer: writes a CAD script that applies the B value of a Phaser log's\n"
    "table of principal components to FP_ISO and SIGFP_ISO.\n"
    "\n"
    "Dialogue (answers on standard input, one line each, a name up to 4096 bytes):\n"
    "  Please type phaser log file    -> the Phaser log to read\n"
    "  Type name of cad input file    -> the CAD script to create\n"
    "\n"
    "The table starts at the first log line with \"eigenB\" in columns 6-11; the\n"
    "B value is read from columns 6-14 of the third line after it (F9.3).\n"
    "\n"
    "File written (created new; an existing file is never overwritten):\n"
    "  the cad input file: five keyword records for CAD, the B value in columns\n"
    "      25-36 of record 2 (SCAL FILE_NUMBER 1 1.00 <B>)\n"
    "\n"
    "Exit status: 0 done; 1 the log has no eigenB table (the cad input file is\n"
    "left empty); 2 a file could not be opened, read or written.\n"
    "\n"
    "Options: -h or --help, --version. Drivers give no arguments.\n";
