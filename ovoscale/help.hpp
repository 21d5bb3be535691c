#pragma once

// What `ovoscale --help` prints.
inline constexpr char kOvoscaleHelp[] =
    "ovoscale: amplitudes from intensities (French and Wilson) and the\n"
    "anisotropy correction: an overall scale and a B tensor fitted against a\n"
    "protein reference curve; writes the amplitudes, the corrected amplitudes\n"
    "and a log with the principal components that honer reads.\n"
    "\n"
    "Dialogue (answers on standard input, one line each, a name up to 4096 bytes):\n"
    "  Please type the reflection file (XDS_ASCII or MTZ)\n"
    "      -> an XDS_ASCII file, merged or not, or a merged MTZ file\n"
    "  Please type the labels I SIGI or F SIGF (blank: IMEAN SIGIMEAN, else FP SIGFP)\n"
    "      -> asked only for an MTZ file\n"
    "  Please type the name of the MTZ file to create\n"
    "  Please type the name of the log to create\n"
    "\n"
    "Files written (created new, both or neither):\n"
    "  the MTZ file: H K L FP SIGFP FP_ISO SIGFP_ISO (FP_ISO = FP exp(+s^T Baniso s/4)),\n"
    "      with every other column of an input MTZ file carried through\n"
    "  the log: the isotropic B, the table of principal components of the\n"
    "      anisotropic part (\"eigenB\" in columns 6-11, the values in columns\n"
    "      6-14 of the three lines after it), their range and the resharpening B\n"
    "\n"
    "Exit status: 0 done; 1 no result (too few reflections, a fit that does\n"
    "not converge, a B tensor that is not positive definite; nothing is\n"
    "written); 2 a file could not be opened, read or written.\n"
    "\n"
    "Options: -h or --help, --version. Drivers give no arguments.\n";
