#pragma once

#include <elf.h>

namespace taviro::platform {

// The platform word of releases, pack offers and package file names, and the machine an
// executable of a release must be built for: the build's own architecture, so a build never
// asks for another machine's files.
#if defined(__x86_64__)
inline constexpr const char* kReleasePlatform = "linux-x86_64";
inline constexpr const char* kFullPackageFileName = "vorda-kinoloom-linux-x86_64.zip";
inline constexpr unsigned kReleaseElfMachine = EM_X86_64;
#elif defined(__aarch64__)
inline constexpr const char* kReleasePlatform = "linux-aarch64";
inline constexpr const char* kFullPackageFileName = "vorda-kinoloom-linux-aarch64.zip";
inline constexpr unsigned kReleaseElfMachine = EM_AARCH64;
#else
#error "no release platform for this architecture: releases exist for x86-64 and ARM 64 only"
#endif

}  // namespace taviro::platform
