#include "orsa/OrsaConstants.h"

extern "C" {
const double OrsaMireloVersionNumber = 1.0;
const unsigned char OrsaMireloVersionString[] = "@(#)PROGRAM:OrsaMirelo  PROJECT:OrsaMirelo-1\n";
}
