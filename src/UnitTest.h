// Private but testable: a function marked UNITTEST is static in the program
// and visible in the unit tests' build of the same sources (KOVREL_UNITTESTS).
// Its declaration sits in its module's header, below "#ifdef KOVREL_UNITTESTS",
// so that the header shows the program only what other modules use.
#pragma once

#ifdef KOVREL_UNITTESTS
#define UNITTEST
#else
#define UNITTEST static
#endif
