// The version of the station's programs, as --version prints it: the project version
// that CMake hands to this one file, so that a new version rebuilds nothing else.
#include "platform/platform.h"

#ifndef VELMORA_VERSION
#define VELMORA_VERSION "0.0.0"
#endif

namespace vplat {

const char* VelmoraVersion() { return VELMORA_VERSION; }

}  // namespace vplat
