// The library's version and build description (vek_version.h).
#include "vek_build_info.h"
#include "vek_version.h"

extern "C" VEK_API const char *VEK_CALL VekVersion(void) { return VEK_VERSION_STRING; }

extern "C" VEK_API const char *VEK_CALL VekBuildInfo(void) { return VEK_BUILD_INFO; }
