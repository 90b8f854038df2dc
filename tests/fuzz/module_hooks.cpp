// Linked only into the fuzzing copy of the module. The module itself never
// clears the parser's error flag; the request fuzzer clears it between
// inputs so that one bad document does not end the usefulness of every
// later input in the same process.
#include "xmlenvironment.h"

extern "C" __attribute__((visibility("default"))) void zorResetXMLErrorsForTest() { resetXMLErrorsForTest(); }
