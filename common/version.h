// Version of both programs: their version resources take it from here.
#pragma once

#define TARSEL_VERSION_MAJOR 1
#define TARSEL_VERSION_MINOR 0
#define TARSEL_VERSION_PATCH 0
#define TARSEL_VERSION_BUILD 1

#define TARSEL_STRINGIFY_(x) #x
#define TARSEL_STRINGIFY(x) TARSEL_STRINGIFY_(x)

// "1.0.0.1" (the resource compilers join adjacent literals, as C does).
#define TARSEL_VERSION_STRING                                                             \
    TARSEL_STRINGIFY(TARSEL_VERSION_MAJOR) "." TARSEL_STRINGIFY(TARSEL_VERSION_MINOR) "." \
    TARSEL_STRINGIFY(TARSEL_VERSION_PATCH) "." TARSEL_STRINGIFY(TARSEL_VERSION_BUILD)
// For FILEVERSION and PRODUCTVERSION.
#define TARSEL_VERSION_COMMAS TARSEL_VERSION_MAJOR, TARSEL_VERSION_MINOR, TARSEL_VERSION_PATCH, TARSEL_VERSION_BUILD
